#include "LaunchSequence.h"

#include "AppContext.h"
#include "CreditService.h"
#include "SettingsStore.h"
#include "UserDefaultKeys.h"

#include <QPointer>

LaunchSequence::LaunchSequence(AppContext& context, VersionCheck& version, CreditService& credits,
                               QObject* parent)
    : QObject(parent), m_context(context), m_version(version), m_credits(credits) {}

bool LaunchSequence::prepare() {
    m_context.settings.firstLaunchWipe();
    return needsGetStart(m_context.settings);
}

bool LaunchSequence::needsGetStart(const SettingsStore& settings) {
    return settings.apiKey().isEmpty();
}

void LaunchSequence::checkVersion() {
    m_version.check([self = QPointer<LaunchSequence>(this)](UpdateType type) {
        if (self) self->continueAfter(type);
    });
}

void LaunchSequence::continueAfter(UpdateType type) {
    switch (type) {
        case UpdateType::soft:
            m_version.showUpdateAlert(UpdateType::soft);
            m_credits.getCreditDetails();
            break;
        case UpdateType::hard:
            m_version.showUpdateAlert(UpdateType::hard);
            break;
        case UpdateType::unknown:
            m_credits.getCreditDetails();
            break;
    }
    emit versionChecked(type);
}

void LaunchSequence::leaveGetStart() {
    m_context.settings.setBool(UserDefaultKeys::isFirst, true);
    m_context.settings.sync();
}
