#include "CreditService.h"
#include "LaunchSequence.h"
#include "OutputOptions.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

namespace {

Constant serviceOf(const ScriptedServer& server) {
    return *Constant::fromServiceUrl(server.baseUrl().toString());
}

QByteArray versionReply(const QByteArray& version, const QByteArray& updateType) {
    return "{\"app_version\":\"" + version + "\",\"update_type\":\"" + updateType + "\"}";
}

const QByteArray kBalances =
    "{\"other_remain_credit\":5,\"pay_as_you _go_plan_remain_credit\":2,"
    "\"subscription_plan_remain_credit\":1}";

}  // namespace

Q_DECLARE_METATYPE(UpdateType)

class OptionsTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // The format decides whether a transparent background is possible at all.
    void jpgForcesTheColouredOptionAndPngKeepsIt() {
        OutputOptions o;
        QSignalSpy closes(&o, &OutputOptions::colorPanelCloseRequested);
        o.colorDidChange(QColor(30, 144, 255));
        o.chooseTransparent();
        QVERIFY(!o.isColored);

        o.chooseOption(QStringLiteral("JPG"));
        QCOMPARE(o.imgFormat, QStringLiteral("jpg"));
        QVERIFY(!o.transparentEnabled);
        QVERIFY(o.isColored);
        QCOMPARE(closes.count(), 1);  // a format choice closes the colour panel

        o.chooseTransparent();  // not possible while the format is JPG
        QVERIFY(o.isColored);

        o.chooseOption(QStringLiteral("PNG"));
        QCOMPARE(o.imgFormat, QStringLiteral("png"));
        QVERIFY(o.transparentEnabled);
        QVERIFY(o.isColored);  // PNG does not undo the forced choice

        o.chooseOption(QString());  // no item selected counts as "not PNG"
        QCOMPARE(o.imgFormat, QStringLiteral("jpg"));
        o.chooseOption(QStringLiteral("png"));  // the title must be exactly "PNG"
        QCOMPARE(o.imgFormat, QStringLiteral("jpg"));
    }

    void transparentClearsTheColourAndColouredKeepsIt() {
        OutputOptions o;
        const QColor blue(30, 144, 255, 200);
        o.colorDidChange(blue);
        QCOMPARE(o.selectedColor, QStringLiteral("#1E90FF"));
        QCOMPARE(o.swatchColor, blue);  // the swatch keeps the alpha

        o.chooseTransparent();
        o.chooseColored();
        QVERIFY(o.isColored);
        QCOMPARE(o.selectedColor, QString());  // the transparent choice cleared it
        QCOMPARE(o.swatchColor.alpha(), 0);

        o.colorDidChange(blue);
        o.chooseTransparent();
        QVERIFY(!o.isColored);
        o.chooseColored();
        QCOMPARE(o.selectedColor, QString());
        o.colorDidChange(blue);
        o.chooseColored();
        QCOMPARE(o.selectedColor, QStringLiteral("#1E90FF"));
    }

    // The panel flag: set only when the colour control opens the panel, cleared only by the
    // colour control and by a background choice.
    void colourControlTogglesThePanelAndTheFlag() {
        OutputOptions o;
        QSignalSpy opens(&o, &OutputOptions::colorPanelOpenRequested);
        QSignalSpy closes(&o, &OutputOptions::colorPanelCloseRequested);

        o.setColor();
        QVERIFY(o.isOpenColorPanel);
        QVERIFY(o.isColored);
        QCOMPARE(opens.count(), 1);
        o.setColor();
        QVERIFY(!o.isOpenColorPanel);
        QVERIFY(o.isColored);  // the coloured option stays chosen after the panel closes
        QCOMPARE(closes.count(), 1);

        o.setColor();
        o.chooseOption(QStringLiteral("PNG"));  // closes the panel, keeps the flag
        QCOMPARE(closes.count(), 2);
        QVERIFY(o.isOpenColorPanel);
        o.setColor();  // only clears the flag
        QVERIFY(!o.isOpenColorPanel);
        QCOMPARE(opens.count(), 2);
        o.setColor();  // opens again
        QCOMPARE(opens.count(), 3);

        o.chooseColored();  // a background choice closes the panel it opened
        QVERIFY(!o.isOpenColorPanel);
        QCOMPARE(closes.count(), 4);
        o.chooseColored();  // nothing left to close
        QCOMPARE(closes.count(), 4);
    }

    void hexString_data() {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QString>("hex");
        QTest::newRow("pure green") << QColor::fromRgbF(0, 1, 0) << QStringLiteral("#00FF00");
        QTest::newRow("dodger blue") << QColor(30, 144, 255) << QStringLiteral("#1E90FF");
        QTest::newRow("half-transparent green")
            << QColor::fromRgbF(0, 1, 0, 0.5f) << QStringLiteral("#00FF00");
        QTest::newRow("fully transparent red") << QColor(255, 0, 0, 0) << QStringLiteral("#FF0000");
        QTest::newRow("half rounds up")
            << QColor::fromRgbF(0.5f, 0.5f, 0.5f) << QStringLiteral("#808080");
        QTest::newRow("below half rounds down")
            << QColor::fromRgbF(0.497f, 0.002f, 0.998f) << QStringLiteral("#7F01FE");
        QTest::newRow("hsv green") << QColor::fromHsv(120, 255, 255) << QStringLiteral("#00FF00");
        QTest::newRow("cmyk white") << QColor::fromCmyk(0, 0, 0, 0) << QStringLiteral("#FFFFFF");
        QTest::newRow("no colour") << QColor() << QStringLiteral("FFFFFF");
    }
    void hexString() {
        QFETCH(QColor, color);
        QFETCH(QString, hex);
        QCOMPARE(OutputOptions::hexString(color), hex);
    }

    void firstLaunchWipesAnOldKeyAndShowsGetStart() {
        TestContext t;
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("old-key"));
        t.settings.setString(UserDefaultKeys::appVersion, QStringLiteral("2.0"));
        ServiceSession session;
        VersionCheck version(t.context, session);
        CreditService credits(t.context, session);
        LaunchSequence launch(t.context, version, credits);
        QVERIFY(launch.prepare());
        QCOMPARE(t.settings.apiKey(), QString());
        QCOMPARE(t.settings.appVersion(), QString());

        // Passing the get-start screen keeps the settings from then on.
        launch.leaveGetStart();
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("new-key"));
        SettingsStore reread(t.settings.filePath());
        QVERIFY(reread.boolValue(UserDefaultKeys::isFirst));
        QVERIFY(!launch.prepare());
        QCOMPARE(t.settings.apiKey(), QStringLiteral("new-key"));
    }

    void getStartIsShownAtEveryLaunchWhileTheKeyIsEmpty() {
        TestContext t;
        t.settings.setBool(UserDefaultKeys::isFirst, true);
        t.settings.setString(UserDefaultKeys::apiKey, QString());
        ServiceSession session;
        VersionCheck version(t.context, session);
        CreditService credits(t.context, session);
        LaunchSequence launch(t.context, version, credits);
        QVERIFY(launch.prepare());
        QVERIFY(launch.prepare());
        t.settings.setValue(UserDefaultKeys::apiKey, 12345);  // not text: no key
        QVERIFY(launch.prepare());
        QVERIFY(t.settings.boolValue(UserDefaultKeys::isFirst));
    }

    void versionOutcomeDecidesWhetherCreditsAreFetched_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<UpdateType>("outcome");
        QTest::addColumn<QStringList>("buttons");  // of the update alert; empty when none
        QTest::addColumn<bool>("credits");
        const QStringList optional{QStringLiteral("Update"), QStringLiteral("Ignore")};
        const QStringList required{QStringLiteral("Update")};
        QTest::newRow("soft: optional alert, then credits")
            << QString() << versionReply("1.10", "soft") << UpdateType::soft << optional << true;
        QTest::newRow("hard: required alert only")
            << QStringLiteral("1.9") << versionReply("1.10", "hard") << UpdateType::hard << required
            << false;
        QTest::newRow("newer but another type: credits")
            << QStringLiteral("1.9") << versionReply("1.10", "Hard") << UpdateType::unknown
            << QStringList() << true;
        QTest::newRow("not newer: credits") << QStringLiteral("1.10") << versionReply("1.9", "hard")
                                            << UpdateType::unknown << QStringList() << true;
    }
    void versionOutcomeDecidesWhetherCreditsAreFetched() {
        QFETCH(QString, stored);
        QFETCH(QByteArray, reply);
        QFETCH(UpdateType, outcome);
        QFETCH(QStringList, buttons);
        QFETCH(bool, credits);

        ScriptedServer server;
        QVERIFY(server.start());
        server.script("/api/v1/get_app_version", ScriptedReply::json(200, reply));
        server.script("/api/v1/credit_check", ScriptedReply::json(200, kBalances));
        TestContext t(serviceOf(server));
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

        if (buttons.isEmpty()) {
            QVERIFY(t.alerts.entries.isEmpty());
        } else {
            QCOMPARE(t.alerts.entries.size(), 1);
            QVERIFY(t.alerts.entries.first().sheet);
            QCOMPARE(t.alerts.entries.first().message, QStringLiteral("Update available!"));
            QCOMPARE(t.alerts.entries.first().alert.buttons, buttons);
        }
        if (credits) {
            QVERIFY(creditReplies.wait(5000));
            QCOMPARE(t.credits.snapshot().creditTotal(), 8);
        } else {
            QVERIFY(!server.waitForRequests(2, 300));
        }
        QCOMPARE(server.requestCount("/api/v1/credit_check"), credits ? 1 : 0);
    }

    void versionCheckWithoutJsonFetchesNothing() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script("/api/v1/get_app_version",
                      ScriptedReply::bytes(502, "text/html", "<html>bad gateway</html>"));
        TestContext t(serviceOf(server));
        ServiceSession session;
        VersionCheck version(t.context, session);
        CreditService credits(t.context, session);
        LaunchSequence launch(t.context, version, credits);
        QSignalSpy checked(&launch, &LaunchSequence::versionChecked);
        launch.checkVersion();
        QTRY_COMPARE_WITH_TIMEOUT(t.alerts.messages(),
                                  QStringList{QStringLiteral("Oops! something went wrong.")}, 5000);
        QVERIFY(!server.waitForRequests(2, 300));
        QCOMPARE(checked.count(), 0);
        QCOMPARE(server.requestCount("/api/v1/credit_check"), 0);
    }
};

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
