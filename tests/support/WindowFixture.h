#pragma once

#include "BatchSession.h"
#include "Constant.h"
#include "LocalService.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "TestData.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <memory>

// A service that answers the launch's version and credit checks (10 credits); a handler set
// later answers the other paths.
inline Constant scripted(ScriptedServer& server) {
    if (!server.start()) qFatal("no scripted server");
    server.script("/api/v1/get_app_version",
                  ScriptedReply::json(200, R"({"app_version":"1.0","update_type":"none"})"));
    server.script("/api/v1/credit_check", ScriptedReply::json(200, balancesJson(10)));
    return *Constant::fromServiceUrl(server.baseUrl().toString());
}

// A window on temporary settings, against the scripted service or a local one.
struct Fixture {
    explicit Fixture(bool signedIn = true, const LocalService* local = nullptr)
        : t(local ? local->service() : scripted(server)) {
        if (!signedIn) return;  // else the user has passed the get-start screen and has a key
        t.settings.setBool(UserDefaultKeys::isFirst, true);
        t.settings.setString(UserDefaultKeys::apiKey, local ? local->demoKey() : "test-key");
        t.settings.setString(UserDefaultKeys::outputFolder, t.dir.path());
    }
    // A window on `images`; with `ledger`, one that knows the results saved before.
    ViewController& open(const QStringList& images = {}, const QString& ledger = {}) {
        w.reset();
        batch = std::make_unique<BatchSession>(t.context, session);
        if (!ledger.isEmpty()) batch->useLedger(ledger);
        w = std::make_unique<ViewController>(t.context, session, *batch);
        w->queue().admitPaths(images, false);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
        return *w;
    }
    // The service's answer to an accepted upload: `extra` and the address of its result, named
    // after the photo unless `name` is given.
    ScriptedReply accepted(const RecordedRequest& r, QJsonObject extra = {},
                           const QString& name = {}) {
        const QString file = name.isEmpty() ? sentName(r) : name;
        extra.insert("output_image_url", server.url("/results/" + file).toString());
        return ScriptedReply::json(200, QJsonDocument(extra).toJson());
    }
    QStringList images(int n) const { return writeImages(t.dir.path(), n, "photo%02d.png"); }
    ScriptedServer server;
    TestContext t;
    ServiceSession session;
    std::unique_ptr<BatchSession> batch;
    std::unique_ptr<ViewController> w;  // goes before the batch it shows
};

template <typename T = QWidget>
T* outlet(const QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget) qFatal("no outlet %s", name);
    return widget;
}

// Gives a row a state as the run would, and tells the window.
inline void setRow(ViewController& w, int row, RowStatus status, const QString& text = {},
                   const QString& file = {}) {
    const DataModelPtr record = w.queue().at(row);
    record->status = status;
    record->statusText = text;
    record->outputFile = file;
    w.queue().notifyRowChanged(record.get());
}

// Opens the context menu of a row as a right click on its cell in `column` does.
inline void openRowMenu(QAbstractItemView* list, int row, int column = 0) {
    const QPoint at = list->visualRect(list->model()->index(row, column)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &event);
}
