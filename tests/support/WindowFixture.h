#pragma once

#include "Constant.h"
#include "LocalService.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"

#include <QImage>
#include <QTest>
#include <memory>

// The main window on temporary settings, against a scripted service or a local one.

inline QString writeImage(const QString& path, int width = 120, int height = 90) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    return image.save(path) ? path : QString();
}

// A service that answers the launch's version and credit checks.
inline Constant scripted(ScriptedServer& server) {
    const QByteArray credits = R"({"other_remain_credit":10,"pay_as_you _go_plan_remain_credit":0,)"
                               R"("subscription_plan_remain_credit":0})";
    if (!server.start()) qFatal("no scripted server");
    server.script("/api/v1/get_app_version",
                  ScriptedReply::json(200, R"({"app_version":"1.0","update_type":"none"})"));
    server.script("/api/v1/credit_check", ScriptedReply::json(200, credits));
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
    ViewController& open(const QStringList& images = {}) {
        w = std::make_unique<ViewController>(t.context, session);
        w->queue().admitPaths(images, false);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
        return *w;
    }
    QStringList images(int n) const {
        QStringList paths;
        for (int i = 0; i < n; ++i)
            paths << writeImage(t.dir.filePath(QString::asprintf("photo%02d.png", i)));
        return paths;
    }
    ScriptedServer server;
    TestContext t;
    ServiceSession session;
    std::unique_ptr<ViewController> w;
};

template <typename T = QWidget>
T* outlet(const QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget) qFatal("no outlet %s", name);
    return widget;
}
