#include "Notifier.h"

Notifier::Notifier(QObject* parent) : QObject(parent) {}

void Notifier::postUpdateCredit() {
    emit updateCredit();
}
