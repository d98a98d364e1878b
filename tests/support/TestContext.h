#pragma once

#include "AlertPresenter.h"
#include "AppContext.h"
#include "CreditRecord.h"
#include "Notifier.h"
#include "SettingsStore.h"
#include "UrlOpener.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <deque>
#include <memory>

// Records every alert instead of showing it. Sheet alerts are answered with the next scripted
// button index (or left pending when none is scripted).
class RecordingAlerts final : public AlertPresenter {
public:
    struct Entry {
        bool sheet = false;
        QString message;  // the plain alert's text, or the sheet's message text
        SheetAlert alert;
        QString detail;  // the plain alert's second text
    };
    QList<Entry> entries;
    std::deque<int> sheetAnswers;
    std::function<void(int)> pendingSheet;

    void showAlert(const QString& message) override {
        entries.append(Entry{false, message, {}, {}});
    }
    void showAlert(const QString& message, const QString& detail) override {
        entries.append(Entry{false, message, {}, detail});
    }
    void showSheetAlert(const SheetAlert& alert, std::function<void(int)> done) override {
        entries.append(Entry{true, alert.messageText, alert, {}});
        if (!sheetAnswers.empty()) {
            const int answer = sheetAnswers.front();
            sheetAnswers.pop_front();
            if (done) done(answer);
        } else {
            pendingSheet = std::move(done);
        }
    }
    // The texts of every alert, in order.
    QStringList messages() const {
        QStringList out;
        for (const Entry& e : entries) out.append(e.message);
        return out;
    }
    void clear() { entries.clear(); }
};

// What a crash would leave of an SQLite database at this instant: its files copied as they are
// (the write-ahead log included) to `copy`, which is returned.
inline QString copyAsCrashLeavesIt(const QString& path, const QString& copy) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(copy + suffix);
        if (QFile::exists(path + suffix)) QFile::copy(path + suffix, copy + suffix);
    }
    return copy;
}

class RecordingOpener final : public UrlOpener {
public:
    QList<QUrl> opened;
    bool canOpen = true;  // false plays a computer without a browser
    bool openUrl(const QUrl& url) override {
        opened.append(url);
        return canOpen;
    }
};

// Everything a piece of logic needs, with settings in a temporary folder.
class TestContext {
public:
    explicit TestContext(const Constant& service = Constant::defaults())
        : settings(dir.filePath(QStringLiteral("settings.json"))), context{settings, credits,
                                                                           notifier, alerts,
                                                                           opener,   service} {}

    QTemporaryDir dir;
    SettingsStore settings;
    CreditRecord credits;
    Notifier notifier;
    RecordingAlerts alerts;
    RecordingOpener opener;
    AppContext context;
};
