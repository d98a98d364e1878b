#pragma once

#include "Constant.h"

class AlertPresenter;
class CreditRecord;
class Notifier;
class SettingsStore;
class UrlOpener;

// The few process-wide things, created once by main() (or by a test) and handed to every object
// that needs them.
struct AppContext {
    SettingsStore& settings;
    CreditRecord& credits;
    Notifier& notifier;
    AlertPresenter& alerts;
    UrlOpener& opener;
    Constant service;
};
