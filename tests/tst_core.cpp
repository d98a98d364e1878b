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

    // Values of the wrong type read as absent; an empty or absent folder means Downloads,
    // without storing it.
    void valuesOfTheWrongTypeAndTheFolderFallback() {
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
        reread.setString(UserDefaultKeys::outputFolder, QString());
        QCOMPARE(reread.resolvedOutputFolder(), SettingsStore::downloadsFolder());
        QCOMPARE(reread.string(UserDefaultKeys::outputFolder), QString());  // still the empty text
        reread.setString(UserDefaultKeys::outputFolder, QStringLiteral("/srv/out"));
        QCOMPARE(reread.resolvedOutputFolder(), QStringLiteral("/srv/out"));
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
        QTest::addColumn<QString>("ff");  // null: no free-credit balance
        const auto row = [](const char* name, const char* json, qint64 total, bool out,
                            const char* ff) {
            QTest::newRow(name) << QByteArray(json) << total << out << QString::fromLatin1(ff);
        };
        row("three numbers", R"({"ff_credit":3,"tp_credit":0,"sp_credit":120})", 123, false, "3");
        row("numeric string is not a number", R"({"ff_credit":"5","tp_credit":0})", 0, true,
            nullptr);
        row("fraction does not count", R"({"ff_credit":2.5,"tp_credit":1})", 1, false, nullptr);
        row("integral double counts", R"({"ff_credit":7.0})", 7, false, "7");
        row("negative total is not out of credit", R"({"ff_credit":-3,"tp_credit":1})", -2, false,
            "-3");
        row("zeros are out of credit", R"({"ff_credit":0,"tp_credit":0,"sp_credit":0})", 0, true,
            "0");
        row("absent fields", "{}", 0, true, nullptr);
        row("too large for 64 bits", R"({"ff_credit":1e30,"tp_credit":2})", 2, false, nullptr);
        row("null and bool", R"({"ff_credit":null,"tp_credit":true,"sp_credit":1})", 1, false,
            nullptr);
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
        QCOMPARE(m.ff_credit.has_value(), !ff.isNull());
    }

    void sharedRecordStartsEmptyAndIsReplacedWhole() {
        CreditRecord record;
        QVERIFY(!record.exists() && record.snapshot().creditTotal() == 0 && !record.exists());
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
        QTest::addColumn<int>("sign");  // of compareNumeric(a, b); the reverse has the other sign
        const auto row = [](const char* a, const char* b, int sign) {
            QTest::addRow("%s vs %s", a, b) << QString(a) << QString(b) << sign;
        };
        row("1.10", "1.9", 1);
        row("2.0.1", "2.0.1", 0);
        row("1.0", "", 1);
        row("1.0.1", "1.0", 1);
        row("1.0b", "1.0B", 1);  // case-sensitive
        row("1.010", "1.9", 1);  // leading zeros
        row("1.99999999999999999999999", "1.100000000000000000000000", -1);
    }
    void numericOrderComparesDigitRunsByValue() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const auto signOf = [](int c) { return (c > 0) - (c < 0); };
        QCOMPARE(signOf(compareNumeric(a, b)), sign);
        QCOMPARE(signOf(compareNumeric(b, a)), -sign);
    }

    // Loopback http and https are accepted (the base always ends in a slash); anything that
    // would send the key in clear over a network, or is no address, is refused.
    void serviceUrlAcceptsHttpsAndLoopbackHttpOnly_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("base");  // empty: refused
        const auto row = [](const char* url, const char* base) {
            QTest::addRow("%s", url) << QString(url) << QString(base);
        };
        row("http://127.0.0.1:8080/api/v1/", "http://127.0.0.1:8080/api/v1/");
        row("http://127.4.5.6:81/api/v1", "http://127.4.5.6:81/api/v1/");
        row("http://[::1]:9000/api/v1/", "http://[::1]:9000/api/v1/");
        row("http://localhost:5/api/v1/", "http://localhost:5/api/v1/");
        row("https://svc.example.org/api/v1/", "https://svc.example.org/api/v1/");
        for (const char* refused :
             {"http://svc.example.org/api/v1/", "http://127.0.0.1.example.org/api/v1/",
              "http://192.168.1.2/api/v1/", "ftp://127.0.0.1/api/v1/", "::: not a url", "",
              "https:///api/v1/", "https://u:p@svc.example.org/api/v1/"})
            row(refused, "");
    }
    void serviceUrlAcceptsHttpsAndLoopbackHttpOnly() {
        QFETCH(QString, url);
        QFETCH(QString, base);
        QString error;
        const auto c = Constant::fromServiceUrl(url, &error);
        QCOMPARE(c ? c->baseUrlString() : QString(), base);
        QCOMPARE(error.isEmpty(), !base.isEmpty());
    }
};

QTEST_GUILESS_MAIN(CoreTest)
#include "tst_core.moc"
