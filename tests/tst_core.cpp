#include "ConsoleLog.h"
#include "Constant.h"
#include "CreditRecord.h"
#include "NaturalOrder.h"
#include "SettingsStore.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "UserDetailsModel.h"

#include <QJsonDocument>
#include <QStandardPaths>
#include <QtTest>

class CoreTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void firstLaunchWipeForgetsEverythingUntilGetStarted() {
        TestContext t;
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("old-key"));
        t.settings.setString(UserDefaultKeys::outputFolder, QStringLiteral("/tmp/out"));
        t.settings.setString(UserDefaultKeys::appVersion, QStringLiteral("1.2"));
        t.settings.firstLaunchWipe();
        QCOMPARE(t.settings.string(UserDefaultKeys::apiKey), std::nullopt);
        QCOMPARE(t.settings.string(UserDefaultKeys::appVersion), std::nullopt);
        QCOMPARE(t.settings.string(UserDefaultKeys::outputFolder), std::nullopt);

        t.settings.setBool(UserDefaultKeys::isFirst, true);
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("kept"));
        t.settings.firstLaunchWipe();
        QCOMPARE(t.settings.apiKey(), QStringLiteral("kept"));

        // The values survive a new store on the same file (a new launch).
        SettingsStore again(t.settings.filePath());
        again.firstLaunchWipe();
        QCOMPARE(again.apiKey(), QStringLiteral("kept"));
        QVERIFY(again.boolValue(UserDefaultKeys::isFirst));
    }

    void valuesOfTheWrongTypeReadAsAbsent() {
        TestContext t;
        t.settings.setValue(UserDefaultKeys::apiKey, 12345);
        t.settings.setValue(UserDefaultKeys::outputFolder, QVariantList{1, 2});
        t.settings.setValue(UserDefaultKeys::isFirst, QStringLiteral("true"));
        SettingsStore reread(t.settings.filePath());
        QCOMPARE(reread.string(UserDefaultKeys::apiKey), std::nullopt);
        QCOMPARE(reread.apiKey(), QString());
        QCOMPARE(reread.resolvedOutputFolder(), SettingsStore::downloadsFolder());
        QVERIFY(!reread.boolValue(UserDefaultKeys::isFirst));
        // A string "true" is not the Boolean, so the wipe still happens.
        reread.setString(UserDefaultKeys::apiKey, QStringLiteral("k"));
        reread.firstLaunchWipe();
        QCOMPARE(reread.string(UserDefaultKeys::apiKey), std::nullopt);
    }

    void outputFolderFallsBackToDownloadsWithoutStoringIt() {
        TestContext t;
        QVERIFY(!SettingsStore::downloadsFolder().isEmpty());
        QCOMPARE(t.settings.resolvedOutputFolder(), SettingsStore::downloadsFolder());
        t.settings.setString(UserDefaultKeys::outputFolder, QString());
        QCOMPARE(t.settings.resolvedOutputFolder(), SettingsStore::downloadsFolder());
        QCOMPARE(t.settings.string(UserDefaultKeys::outputFolder),
                 QString());  // still the stored empty text
        t.settings.setString(UserDefaultKeys::outputFolder, QStringLiteral("/srv/out"));
        QCOMPARE(t.settings.resolvedOutputFolder(), QStringLiteral("/srv/out"));
        t.settings.setString(UserDefaultKeys::outputFolder, std::nullopt);
        QCOMPARE(t.settings.value(UserDefaultKeys::outputFolder), QVariant());
    }

    void outputFolderIsMadeReadyBeforeSending() {
        TestContext t;
        QString error;
        // The Downloads default is created when a fresh account has none.
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", t.dir.filePath(QStringLiteral("home")).toUtf8());
        const QString downloads = t.settings.prepareOutputFolder(&error);
        QVERIFY2(downloads.startsWith(t.dir.path()) && QFileInfo(downloads).isDir(),
                 qPrintable(downloads));
        // Also when the settings sheet stored that path as the chosen folder.
        QVERIFY(QDir(downloads).removeRecursively());
        t.settings.setString(UserDefaultKeys::outputFolder, downloads);
        QCOMPARE(t.settings.prepareOutputFolder(&error), downloads);
        QVERIFY(QFileInfo(downloads).isDir());
        qputenv("HOME", home);
        // A chosen folder that is gone is reported, not recreated.
        const QString gone = t.dir.filePath(QStringLiteral("unplugged/drive"));
        t.settings.setString(UserDefaultKeys::outputFolder, gone);
        QCOMPARE(t.settings.prepareOutputFolder(&error), QString());
        QVERIFY(error.contains(gone));
        QVERIFY(!QFileInfo::exists(gone));
    }

    void credentialResetLeavesAnEmptyKeyAndEmptyBalances() {
        TestContext t;
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("abc"));
        t.settings.credentialReset(t.credits);
        QCOMPARE(t.settings.string(UserDefaultKeys::apiKey), QString(""));  // present and empty
        QVERIFY(!t.credits.exists());  // a record never created stays uncreated

        t.credits.setBalances(3, 4, 5);
        t.settings.credentialReset(t.credits);
        const UserDetailsModel m = t.credits.snapshot();
        QCOMPARE(m.ff_credit, QString(""));
        QCOMPARE(m.tp_credit, QString(""));
        QCOMPARE(m.sp_credit, QString(""));
        QCOMPARE(m.creditTotal(), 0);
    }

    void balancesCountOnlyAsExactIntegers_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<bool>("outOfCredit");
        QTest::addColumn<QString>("ff");
        QTest::newRow("three numbers")
            << QByteArray(R"({"ff_credit":3,"tp_credit":0,"sp_credit":120})") << qint64(123)
            << false << QStringLiteral("3");
        QTest::newRow("numeric string is not a number")
            << QByteArray(R"({"ff_credit":"5","tp_credit":0,"sp_credit":0})") << qint64(0) << true
            << QString();
        QTest::newRow("fraction does not count")
            << QByteArray(R"({"ff_credit":2.5,"tp_credit":1,"sp_credit":0})") << qint64(1) << false
            << QString();
        QTest::newRow("integral double counts")
            << QByteArray(R"({"ff_credit":7.0})") << qint64(7) << false << QStringLiteral("7");
        QTest::newRow("negative total is not out of credit")
            << QByteArray(R"({"ff_credit":-3,"tp_credit":1,"sp_credit":0})") << qint64(-2) << false
            << QStringLiteral("-3");
        QTest::newRow("zeros are out of credit")
            << QByteArray(R"({"ff_credit":0,"tp_credit":0,"sp_credit":0})") << qint64(0) << true
            << QStringLiteral("0");
        QTest::newRow("absent fields") << QByteArray("{}") << qint64(0) << true << QString();
        QTest::newRow("too large for 64 bits")
            << QByteArray(R"({"ff_credit":1e30,"tp_credit":2})") << qint64(2) << false << QString();
        QTest::newRow("null and bool")
            << QByteArray(R"({"ff_credit":null,"tp_credit":true,"sp_credit":1})") << qint64(1)
            << false << QString();
    }
    void balancesCountOnlyAsExactIntegers() {
        QFETCH(QByteArray, json);
        QFETCH(qint64, total);
        QFETCH(bool, outOfCredit);
        QFETCH(QString, ff);
        const UserDetailsModel m =
            UserDetailsModel::fromJson(QJsonDocument::fromJson(json).object());
        QCOMPARE(m.creditTotal(), total);
        QCOMPARE(m.isOutOfCredit(), outOfCredit);
        QCOMPARE(m.ff_credit.value_or(QString()), ff);
        QCOMPARE(m.ff_credit.has_value(), !ff.isEmpty());
    }

    void sharedRecordStartsEmptyAndIsReplacedWhole() {
        CreditRecord record;
        QVERIFY(!record.exists());
        QCOMPARE(record.snapshot().creditTotal(), 0);
        QVERIFY(!record.shared().ff_credit.has_value());
        QVERIFY(record.exists());
        record.setBalances(1, 2, 3);
        UserDetailsModel fresh;
        fresh.tp_credit = QStringLiteral("9");
        record.replace(fresh);
        QVERIFY(!record.snapshot().ff_credit.has_value());
        QCOMPARE(record.snapshot().creditTotal(), 9);
    }

    void logShowsOnlyTheStartOfASecret() {
        QCOMPARE(ConsoleLog::maskedSecret(QString()), QString());
        const QString masked =
            ConsoleLog::maskedSecret(QStringLiteral("0123456789abcdef0123456789abcdef"));
        QVERIFY(masked.startsWith(QStringLiteral("0123")));
        QVERIFY(!masked.contains(QStringLiteral("456789abcdef")));
    }

    void numericOrderComparesDigitRunsByValue_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("sign");
        QTest::newRow("1.10 after 1.9") << "1.10"
                                        << "1.9" << 1;
        QTest::newRow("1.9 before 1.10") << "1.9"
                                         << "1.10" << -1;
        QTest::newRow("equal") << "2.0.1"
                               << "2.0.1" << 0;
        QTest::newRow("anything after empty") << "1.0"
                                              << "" << 1;
        QTest::newRow("empty before anything") << ""
                                               << "0" << -1;
        QTest::newRow("longer with same prefix") << "1.0.1"
                                                 << "1.0" << 1;
        QTest::newRow("case-sensitive letters") << "1.0b"
                                                << "1.0B" << 1;
        QTest::newRow("leading zeros") << "1.010"
                                       << "1.9" << 1;
        QTest::newRow("huge digit runs") << "1.99999999999999999999999"
                                         << "1.100000000000000000000000" << -1;
    }
    void numericOrderComparesDigitRunsByValue() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const int c = compareNumeric(a, b);
        QCOMPARE((c > 0) - (c < 0), sign);
    }

    void serviceUrlAcceptsHttpsAndLoopbackHttpOnly_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("account");
        QTest::newRow("loopback http")
            << "http://127.0.0.1:8080/api/v1/" << true << "http://127.0.0.1:8080/api/v1/"
            << "http://127.0.0.1:8080/account";
        QTest::newRow("loopback range")
            << "http://127.4.5.6:81/api/v1" << true << "http://127.4.5.6:81/api/v1/"
            << "http://127.4.5.6:81/account";
        QTest::newRow("ipv6 loopback")
            << "http://[::1]:9000/api/v1/" << true << "http://[::1]:9000/api/v1/"
            << "http://[::1]:9000/account";
        QTest::newRow("localhost")
            << "http://localhost:5/api/v1/" << true << "http://localhost:5/api/v1/"
            << "http://localhost:5/account";
        QTest::newRow("https remote")
            << "https://svc.example.org/api/v1/" << true << "https://svc.example.org/api/v1/"
            << "https://svc.example.org/account";
        QTest::newRow("http remote") << "http://svc.example.org/api/v1/" << false << ""
                                     << "";
        QTest::newRow("http lookalike") << "http://127.0.0.1.example.org/api/v1/" << false << ""
                                        << "";
        QTest::newRow("http private lan") << "http://192.168.1.2/api/v1/" << false << ""
                                          << "";
        QTest::newRow("ftp") << "ftp://127.0.0.1/api/v1/" << false << ""
                             << "";
        QTest::newRow("garbage") << "::: not a url" << false << ""
                                 << "";
        QTest::newRow("empty") << "" << false << ""
                               << "";
        QTest::newRow("no host") << "https:///api/v1/" << false << ""
                                 << "";
        QTest::newRow("credentials") << "https://u:p@svc.example.org/api/v1/" << false << ""
                                     << "";
    }
    void serviceUrlAcceptsHttpsAndLoopbackHttpOnly() {
        QFETCH(QString, url);
        QFETCH(bool, accepted);
        QFETCH(QString, base);
        QFETCH(QString, account);
        QString error;
        const auto c = Constant::fromServiceUrl(url, &error);
        QCOMPARE(c.has_value(), accepted);
        if (!accepted) {
            QVERIFY(!error.isEmpty());
            return;
        }
        QCOMPARE(c->baseUrlString(), base);
        QCOMPARE(c->accountPage().toString(), account);
        QCOMPARE(c->endpointUrl(QStringLiteral("credit_check")).toString(),
                 base + QStringLiteral("credit_check"));
    }

    void defaultServiceIsHttpsWithTheApiPath() {
        const Constant c = Constant::defaults();
        QCOMPARE(c.baseUrl().scheme(), QStringLiteral("https"));
        QVERIFY(c.baseUrlString().endsWith(QStringLiteral("/api/v1/")));
        QCOMPARE(c.accountPage().host(), c.baseUrl().host());
        QCOMPARE(c.accountPage().path(), QStringLiteral("/account"));
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "tst_core.moc"
