#include "UiResources.h"

#include <QtGlobal>

// Outside any namespace, as the resource initialiser requires.
void initVorpaneUiResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(done);
}
