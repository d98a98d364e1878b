#include "CreditService.h"
#include "LaunchSequence.h"
#include "OutputOptions.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "TestData.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

Q_DECLARE_METATYPE(UpdateType)

class OptionsTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void choicesTheWindowCannotShow() {
        OutputOptions o;
        QSignalSpy closes(&o, &OutputOptions::colorPanelCloseRequested);
        o.chooseOption(QString());  // no item selected counts as "not PNG"
        QCOMPARE(o.imgFormat, QStringLiteral("jpg"));
        o.chooseOption(QStringLiteral("png"));  // the title must be exactly "PNG"
        QCOMPARE(o.imgFormat, QStringLiteral("jpg"));
        QCOMPARE(closes.count(), 2);  // every format choice closes the colour panel

        o.setColor();
        o.chooseColored();  // a background choice closes the panel the colour control opened
        QVERIFY(!o.isOpenColorPanel);
        QCOMPARE(closes.count(), 3);
    }

    void hexString_data() {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QString>("hex");
        auto row = [](const char* name, const QColor& color, const char* hex) {
            QTest::newRow(name) << color << QString::fromLatin1(hex);
        };
        row("pure green", QColor::fromRgbF(0, 1, 0), "#00FF00");
        row("half-transparent green", QColor::fromRgbF(0, 1, 0, 0.5f), "#00FF00");
        row("half rounds up", QColor::fromRgbF(0.5f, 0.5f, 0.5f), "#808080");
        row("below half rounds down", QColor::fromRgbF(0.497f, 0.002f, 0.998f), "#7F01FE");
        row("hsv green", QColor::fromHsv(120, 255, 255), "#00FF00");
        row("cmyk white", QColor::fromCmyk(0, 0, 0, 0), "#FFFFFF");
        row("no colour", QColor(), "FFFFFF");
    }
    void hexString() {
        QFETCH(QColor, color);
        QFETCH(QString, hex);
        QCOMPARE(OutputOptions::hexString(color), hex);
    }

    // The launch asks for the balances unless the service requires an update first.
    void versionOutcomeDecidesWhetherCreditsAreFetched_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("reply");  // version and update type
        QTest::addColumn<UpdateType>("outcome");
        auto row = [](const char* name, const char* stored, const char* version, const char* type,
                      UpdateType outcome) {
            QTest::newRow(name) << QString::fromLatin1(stored)
                                << QByteArray(version) + "\",\"update_type\":\"" + type << outcome;
        };
        row("soft: optional update, then credits", "", "1.10", "soft", UpdateType::soft);
        row("hard: required update, no credits", "1.9", "1.10", "hard", UpdateType::hard);
        row("not newer: credits", "1.10", "1.9", "hard", UpdateType::unknown);
    }
    void versionOutcomeDecidesWhetherCreditsAreFetched() {
        QFETCH(QString, stored);
        QFETCH(QByteArray, reply);
        QFETCH(UpdateType, outcome);
        ScriptedServer server;
        QVERIFY(server.start());
        server.script("/api/v1/get_app_version",
                      ScriptedReply::json(200, "{\"app_version\":\"" + reply + "\"}"));
        server.script("/api/v1/credit_check", ScriptedReply::json(200, balancesJson(5, 2, 1)));
        TestContext t(*Constant::fromServiceUrl(server.baseUrl().toString()));
        t.settings.setBool(UserDefaultKeys::isFirst, true);
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("key"));
        if (!stored.isEmpty()) t.settings.setString(UserDefaultKeys::appVersion, stored);
        ServiceSession session;
        VersionCheck version(t.context, session);
        CreditService creditService(t.context, session);
        LaunchSequence launch(t.context, version, creditService);
        QSignalSpy checked(&launch, &LaunchSequence::versionChecked);
        QSignalSpy creditReplies(&creditService, &CreditService::replyHandled);

        QVERIFY(!launch.prepare());
        launch.checkVersion();
        QVERIFY(checked.wait(5000));
        QCOMPARE(checked.first().first().value<UpdateType>(), outcome);
        QCOMPARE(t.alerts.entries.size(), outcome == UpdateType::unknown ? 0 : 1);
        if (outcome != UpdateType::hard) {
            QVERIFY(creditReplies.wait(5000));
            QCOMPARE(t.credits.snapshot().creditTotal(), 8);
        } else {
            QVERIFY(!server.waitForRequests(2, 300));
        }
        QCOMPARE(server.requestCount("/api/v1/credit_check"), outcome == UpdateType::hard ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
