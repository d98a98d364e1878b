#include "CreditService.h"
#include "KeyVerifier.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"

#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <optional>

namespace {

using Text = std::optional<QString>;
const QString kOops = QStringLiteral("Oops! something went wrong.");
const QByteArray kHtml = "<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>";

QByteArray balances(qint64 free, qint64 topUp, qint64 subscription, const QByteArray& extra = {}) {
    return "{\"other_remain_credit\":" + QByteArray::number(free) +
           ",\"pay_as_you _go_plan_remain_credit\":" + QByteArray::number(topUp) +
           ",\"subscription_plan_remain_credit\":" + QByteArray::number(subscription) + extra + "}";
}

QString display(qint64 free, qint64 topUp, qint64 subscription) {
    return QStringLiteral(
               "Free credit: %1  Top up plan: %2  Subscription plan: %3  |  Total credits: %4")
        .arg(free)
        .arg(topUp)
        .arg(subscription)
        .arg(free + topUp + subscription);
}

bool waitFor(QSignalSpy& spy) {
    return !spy.isEmpty() || spy.wait(10000);
}

enum class Failure { Hold, Trickle, Close, Truncate, Redirect, Oversized, Streamed, Deflated };

}  // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(UpdateType)

class TestService final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wireShape_data();
    void wireShape();

    void creditReplies_data();
    void creditReplies();
    void brokenExchangesResetTheCredential_data();
    void brokenExchangesResetTheCredential();

    void keyReplies_data();
    void keyReplies();
    void keyEditedWhilePendingIsStored();
    void rejectedKeyIsFollowedByAnEmptyCreditCheck();

    void versionReplies_data();
    void versionReplies();
    void versionWithoutJsonStopsTheCaller();
    void firstAnnouncedVersionOffersAnOptionalUpdateOnce();
    void updateAlert_data();
    void updateAlert();
    void rechargeOpensTheAccountPageAfterTheDelay();

private:
    AppContext& context() { return m_ctx->context; }
    SettingsStore& settings() { return m_ctx->settings; }

    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<TestContext> m_ctx;
    std::unique_ptr<ServiceSession> m_session;
};

void TestService::init() {
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->start());
    const auto service = Constant::fromServiceUrl(m_server->baseUrl().toString());
    QVERIFY(service);
    m_ctx = std::make_unique<TestContext>(*service);
    m_session = std::make_unique<ServiceSession>();
    settings().setString(UserDefaultKeys::apiKey, QStringLiteral("old-key"));
    m_ctx->credits.setBalances(7, 8, 9);
}

void TestService::cleanup() {
    m_session.reset();
    m_ctx.reset();
    m_server.reset();
}

// The three calls on the wire ------------------------------------------------------------------

void TestService::wireShape_data() {
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<Text>("storedKey");
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("value");

    const QString key = QStringLiteral("cl\u00e9-\u043a\u043b\u044e\u0447-\U0001F511 x");
    QTest::newRow("credit check: stored key")
        << "credit_check" << Text(key) << QByteArray("api_key") << key;
    QTest::newRow("credit check: no stored key")
        << "credit_check" << Text() << QByteArray("api_key") << QString();
    QTest::newRow("key verification: typed key")
        << "api_key_verification" << Text("stored") << QByteArray("api_key") << key;
    QTest::newRow("key verification: empty key is sent too")
        << "api_key_verification" << Text() << QByteArray("api_key") << QString();
    QTest::newRow("version check")
        << "get_app_version" << Text() << QByteArray("app_type") << "mac";
}

void TestService::wireShape() {
    QFETCH(QString, endpoint);
    QFETCH(Text, storedKey);
    QFETCH(QByteArray, field);
    QFETCH(QString, value);

    settings().setString(UserDefaultKeys::apiKey, storedKey);
    CreditService credit(context(), *m_session);
    KeyVerifier verifier(context(), *m_session);
    VersionCheck version(context(), *m_session);
    if (endpoint == QLatin1String("credit_check"))
        credit.getCreditDetails();
    else if (endpoint == QLatin1String("api_key_verification"))
        verifier.verifyAndSave(QStringLiteral("/tmp"), value, [value] { return value; });
    else
        version.check([](UpdateType) {});

    QVERIFY(m_server->waitForRequests(1));
    const RecordedRequest request = m_server->lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, "/api/v1/" + endpoint.toUtf8());
    QVERIFY(request.header("Content-Type").startsWith("multipart/form-data; boundary="));
    QVERIFY(request.multipartValid);
    QCOMPARE(request.parts.size(), 1);
    const RecordedPart& part = request.parts.first();
    QCOMPARE(part.headers.size(), 1);
    QCOMPARE(part.headers.first().first.toLower(), QByteArray("content-disposition"));
    QCOMPARE(part.headers.first().second, "form-data; name=\"" + field + "\"");
    QCOMPARE(part.body, value.toUtf8());
    QCOMPARE(m_server->requestCount(), 1);
}

// Credit check ---------------------------------------------------------------------------------

void TestService::creditReplies_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<QString>("keyAfter");
    QTest::addColumn<QString>("shown");  // empty: the display is not rewritten
    QTest::addColumn<qint64>("total");

    const QString zeros = display(0, 0, 0);
    QTest::newRow("three balances") << 200 << balances(3, 0, 120) << QStringList() << "old-key"
                                    << display(3, 0, 120) << qint64(123);
    QTest::newRow("three zeros: out of credit")
        << 200 << balances(0, 0, 0) << QStringList() << "old-key" << zeros << qint64(0);
    QTest::newRow("negative total") << 200 << balances(2, -5, 0) << QStringList() << "old-key"
                                    << display(2, -5, 0) << qint64(-3);
    QTest::newRow("JSON with status 500 is read normally")
        << 500 << balances(1, 2, 3) << QStringList() << "old-key" << display(1, 2, 3) << qint64(6);
    QTest::newRow("balances win over the invalid-key message")
        << 200 << balances(4, 5, 6, R"(,"message":"invalid api key")") << QStringList() << "old-key"
        << display(4, 5, 6) << qint64(15);
    QTest::newRow("balance sent as the string \"5\"")
        << 200
        << QByteArray(R"({"other_remain_credit":"5","pay_as_you _go_plan_remain_credit":0,)"
                      R"("subscription_plan_remain_credit":0})")
        << QStringList() << "old-key" << QString() << qint64(24);
    QTest::newRow("key spelled without the space after you")
        << 200
        << QByteArray(R"({"other_remain_credit":1,"pay_as_you_go_plan_remain_credit":1,)"
                      R"("subscription_plan_remain_credit":1})")
        << QStringList() << "old-key" << QString() << qint64(24);
    QTest::newRow("invalid api key") << 200 << QByteArray(R"({"message":"invalid api key"})")
                                     << QStringList{"Invalid API Key"} << "" << zeros << qint64(0);
    QTest::newRow("the message in another case is just another message")
        << 401 << QByteArray(R"({"message":"Invalid API Key"})") << QStringList() << "old-key"
        << QString() << qint64(24);
    QTest::newRow("empty JSON array reads as an empty object")
        << 200 << QByteArray("[]") << QStringList() << "old-key" << QString() << qint64(24);
    QTest::newRow("HTML error page")
        << 502 << kHtml << QStringList{kOops} << "" << zeros << qint64(0);
}

void TestService::creditReplies() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, alerts);
    QFETCH(QString, keyAfter);
    QFETCH(QString, shown);
    QFETCH(qint64, total);

    const QByteArray type = body.startsWith('<') ? "text/html" : "application/json";
    m_server->script("/api/v1/credit_check", ScriptedReply::bytes(status, type, body));
    CreditService credit(context(), *m_session);
    const QString before = credit.displayText();
    QCOMPARE(before, display(7, 8, 9));
    QSignalSpy handled(&credit, &CreditService::replyHandled);
    QSignalSpy changed(&credit, &CreditService::displayTextChanged);
    // The display is rewritten after the reply handler has returned, not inside it.
    QString whileHandling;
    connect(&credit, &CreditService::replyHandled, this,
            [&] { whileHandling = credit.displayText(); });

    credit.getCreditDetails();
    QVERIFY(waitFor(handled));
    QCOMPARE(whileHandling, before);
    QCOMPARE(m_ctx->alerts.messages(), alerts);
    QCOMPARE(settings().string(UserDefaultKeys::apiKey), Text(keyAfter));
    QCOMPARE(m_ctx->credits.snapshot().creditTotal(), total);
    QCOMPARE(m_ctx->credits.snapshot().isOutOfCredit(), total == 0);
    if (shown.isEmpty()) {
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(credit.displayText(), before);
    } else {
        QVERIFY(waitFor(changed));
        QCOMPARE(credit.displayText(), shown);
    }
}

// Every broken exchange is a reply without JSON: the credit check and the key verification both
// forget the key; only the credit check says so.
void TestService::brokenExchangesResetTheCredential_data() {
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<bool>("verifying");

    const QList<QPair<const char*, Failure>> failures{
        {"accepted, never answered", Failure::Hold},
        {"trickles past the total deadline", Failure::Trickle},
        {"closed without an answer", Failure::Close},
        {"complete JSON object, then the connection drops", Failure::Truncate},
        {"302 to another port", Failure::Redirect},
        {"2 MiB JSON object", Failure::Oversized},
        {"endless body without a length", Failure::Streamed},
        {"small deflated body that inflates to 2 MiB", Failure::Deflated}};
    for (const auto& [name, failure] : failures) {
        QTest::addRow("credit check: %s", name) << failure << false;
        QTest::addRow("key verification: %s", name) << failure << true;
    }
}

void TestService::brokenExchangesResetTheCredential() {
    QFETCH(Failure, failure);
    QFETCH(bool, verifying);

    const QByteArray endpoint = verifying ? "/api/v1/api_key_verification" : "/api/v1/credit_check";
    // Valid replies that would count, if they were read.
    const QByteArray good = verifying ? R"({"message":"success"})" : balances(1, 2, 3);
    const QByteArray big = good.chopped(1) + ",\"pad\":\"" + QByteArray(2 << 20, ' ') + "\"}";
    ScriptedServer elsewhere;
    QVERIFY(elsewhere.start());
    elsewhere.script(endpoint, ScriptedReply::json(200, good));

    m_session->setTimeouts(2000, 20000);
    ScriptedReply reply = ScriptedReply::json(200, good);
    switch (failure) {
        case Failure::Hold:
            m_session->setTimeouts(300, 20000);
            reply = ScriptedReply::hold();
            break;
        case Failure::Trickle:
            m_session->setTimeouts(300, 900);
            reply = ScriptedReply::endless(200, "application/json");
            reply.body = " ";
            reply.endlessIntervalMs = 40;
            break;
        case Failure::Close:
            reply = ScriptedReply::close();
            break;
        case Failure::Truncate:
            reply = ScriptedReply::truncate(200, "application/json", good);
            break;
        case Failure::Redirect:
            reply = ScriptedReply::redirect(302,
                                            elsewhere.url(QString::fromUtf8(endpoint)).toEncoded());
            break;
        case Failure::Oversized:
            reply = ScriptedReply::json(200, big);
            break;
        case Failure::Streamed:
            reply = ScriptedReply::endless(200, "application/json");
            reply.endlessIntervalMs = 0;
            break;
        case Failure::Deflated:
            // A zlib stream, which is what "deflate" names: qCompress output after its length.
            reply = ScriptedReply::json(200, qCompress(big, 9).mid(4));
            reply.withHeader("Content-Encoding", "deflate");
            QVERIFY(reply.body.size() < 64 * 1024);
            break;
    }
    m_server->script(endpoint, reply);

    CreditService credit(context(), *m_session);
    KeyVerifier verifier(context(), *m_session);
    auto handled = verifying ? std::make_unique<QSignalSpy>(&verifier, &KeyVerifier::replyHandled)
                             : std::make_unique<QSignalSpy>(&credit, &CreditService::replyHandled);
    QSignalSpy posted(&m_ctx->notifier, &Notifier::updateCredit);
    QSignalSpy changed(&credit, &CreditService::displayTextChanged);
    if (verifying)
        verifier.verifyAndSave(QStringLiteral("/out"), QStringLiteral("new-key"),
                               [] { return QStringLiteral("new-key"); });
    else
        credit.getCreditDetails();
    QVERIFY(waitFor(*handled));

    QCOMPARE(settings().string(UserDefaultKeys::apiKey), Text(QString()));
    const UserDetailsModel record = m_ctx->credits.snapshot();
    QCOMPARE(record.ff_credit, Text(QString()));
    QCOMPARE(record.tp_credit, Text(QString()));
    QCOMPARE(record.sp_credit, Text(QString()));
    QCOMPARE(m_ctx->alerts.messages(), verifying ? QStringList() : QStringList{kOops});
    QCOMPARE(posted.count(), verifying ? 1 : 0);
    if (!verifying) {
        QVERIFY(waitFor(changed));
        QCOMPARE(credit.displayText(), display(0, 0, 0));
    }
    // The key never reaches another host.
    QTest::qWait(20);
    QCOMPARE(elsewhere.connectionCount(), 0);
}

// Key verification -----------------------------------------------------------------------------

void TestService::keyReplies_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("alerts");
    QTest::addColumn<QString>("keyAfter");
    QTest::addColumn<int>("posts");
    QTest::addColumn<int>("dismissals");

    QTest::newRow("success") << 200 << QByteArray(R"({"message":"success"})") << QStringList()
                             << "new-key" << 1 << 1;
    QTest::newRow("invalid api key") << 400 << QByteArray(R"({"message":"invalid api key"})")
                                     << QStringList{"Invalid Api key"} << "" << 1 << 0;
    QTest::newRow("Success with a capital S")
        << 200 << QByteArray(R"({"message":"Success"})") << QStringList() << "old-key" << 0 << 0;
    QTest::newRow("no message") << 200 << QByteArray(R"({"status":"success"})") << QStringList()
                                << "old-key" << 0 << 0;
    QTest::newRow("HTML page: reset, no alert") << 500 << kHtml << QStringList() << "" << 1 << 0;
}

void TestService::keyReplies() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, alerts);
    QFETCH(QString, keyAfter);
    QFETCH(int, posts);
    QFETCH(int, dismissals);

    settings().setString(UserDefaultKeys::outputFolder, QStringLiteral("/old/folder"));
    m_server->script("/api/v1/api_key_verification", ScriptedReply::json(status, body));
    KeyVerifier verifier(context(), *m_session);
    QSignalSpy handled(&verifier, &KeyVerifier::replyHandled);
    QSignalSpy dismissed(&verifier, &KeyVerifier::dismissRequested);
    QSignalSpy posted(&m_ctx->notifier, &Notifier::updateCredit);

    verifier.verifyAndSave(QStringLiteral("/new/folder"), QStringLiteral("new-key"),
                           [] { return QStringLiteral("new-key"); });
    QVERIFY(waitFor(handled));

    QCOMPARE(m_ctx->alerts.messages(), alerts);
    QCOMPARE(settings().string(UserDefaultKeys::apiKey), Text(keyAfter));
    QCOMPARE(m_ctx->credits.snapshot().creditTotal(), keyAfter.isEmpty() ? 0 : 24);
    QCOMPARE(posted.count(), posts);
    QCOMPARE(dismissed.count(), dismissals);
    // The folder is kept whatever the service says about the key.
    QCOMPARE(settings().string(UserDefaultKeys::outputFolder), Text("/new/folder"));
}

void TestService::keyEditedWhilePendingIsStored() {
    m_server->script("/api/v1/api_key_verification",
                     ScriptedReply::json(200, R"({"message":"success"})").withDelay(100));
    KeyVerifier verifier(context(), *m_session);
    QSignalSpy handled(&verifier, &KeyVerifier::replyHandled);

    QString field = QStringLiteral("typed-key");
    verifier.verifyAndSave(QStringLiteral("/out"), field, [&field] { return field; });
    QVERIFY(m_server->waitForRequests(1));
    field = QStringLiteral("edited-key");
    QVERIFY(waitFor(handled));

    QCOMPARE(m_server->lastRequest().parts.value(0).body, QByteArray("typed-key"));
    QCOMPARE(settings().apiKey(), QStringLiteral("edited-key"));
}

void TestService::rejectedKeyIsFollowedByAnEmptyCreditCheck() {
    m_server->script("/api/v1/api_key_verification",
                     ScriptedReply::json(200, R"({"message":"invalid api key"})"));
    m_server->script("/api/v1/credit_check",
                     ScriptedReply::json(200, R"({"message":"invalid api key"})"));
    KeyVerifier verifier(context(), *m_session);
    CreditService credit(context(), *m_session);
    // What the main window does on "updateCredit".
    connect(&m_ctx->notifier, &Notifier::updateCredit, &credit, &CreditService::getCreditDetails);
    QSignalSpy handled(&credit, &CreditService::replyHandled);

    verifier.verifyAndSave(QStringLiteral("/out"), QStringLiteral("wrong"),
                           [] { return QStringLiteral("wrong"); });
    QVERIFY(waitFor(handled));

    const RecordedRequest check = m_server->lastRequest();
    QCOMPARE(check.path, QByteArray("/api/v1/credit_check"));
    QVERIFY(check.part("api_key"));
    QCOMPARE(check.part("api_key")->body, QByteArray());
    // Each site words the same service message its own way.
    QCOMPARE(m_ctx->alerts.messages(), (QStringList{"Invalid Api key", "Invalid API Key"}));
}

// Version check --------------------------------------------------------------------------------

void TestService::versionReplies_data() {
    QTest::addColumn<Text>("stored");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<UpdateType>("outcome");
    QTest::addColumn<QString>("storedAfter");

    auto reply = [](const char* version, const char* type) {
        return QByteArray(R"({"app_version":")") + version + R"(","update_type":")" + type + "\"}";
    };
    QTest::newRow("1.9 then 1.10")
        << Text("1.9") << reply("1.10", "soft") << UpdateType::soft << "1.10";
    QTest::newRow("1.10 then 1.9")
        << Text("1.10") << reply("1.9", "hard") << UpdateType::unknown << "1.10";
    QTest::newRow("same version") << Text("2.0") << reply("2.0", "hard") << UpdateType::unknown
                                  << "2.0";
    QTest::newRow("hard") << Text("1.0") << reply("1.1", "hard") << UpdateType::hard << "1.1";
    QTest::newRow("Hard with a capital H")
        << Text("1.0") << reply("1.1", "Hard") << UpdateType::unknown << "1.1";
    QTest::newRow("nothing stored, 1.0 soft")
        << Text() << reply("1.0", "soft") << UpdateType::soft << "1.0";
    QTest::newRow("no app_version")
        << Text() << QByteArray(R"({"update_type":"soft"})") << UpdateType::unknown << "";
}

void TestService::versionReplies() {
    QFETCH(Text, stored);
    QFETCH(QByteArray, body);
    QFETCH(UpdateType, outcome);
    QFETCH(QString, storedAfter);

    settings().setString(UserDefaultKeys::appVersion, stored);
    m_server->script("/api/v1/get_app_version", ScriptedReply::json(200, body));
    VersionCheck version(context(), *m_session);
    std::optional<UpdateType> result;
    version.check([&result](UpdateType type) { result = type; });
    QTRY_VERIFY(result);

    QCOMPARE(*result, outcome);
    QCOMPARE(settings().appVersion(), storedAfter);
    QVERIFY(m_ctx->alerts.entries.isEmpty());
}

void TestService::versionWithoutJsonStopsTheCaller() {
    m_server->script("/api/v1/get_app_version", ScriptedReply::bytes(503, "text/html", kHtml));
    settings().setString(UserDefaultKeys::appVersion, QStringLiteral("1.0"));
    VersionCheck version(context(), *m_session);
    bool continued = false;
    version.check([&continued](UpdateType) { continued = true; });

    QTRY_COMPARE(m_ctx->alerts.messages(), QStringList{kOops});
    QCoreApplication::processEvents();
    QVERIFY(!continued);
    QCOMPARE(settings().appVersion(), QStringLiteral("1.0"));
}

void TestService::firstAnnouncedVersionOffersAnOptionalUpdateOnce() {
    m_server->script("/api/v1/get_app_version",
                     ScriptedReply::json(200, R"({"app_version":"1.0","update_type":"soft"})"));
    VersionCheck version(context(), *m_session);
    QList<UpdateType> outcomes;
    auto atLaunch = [&](UpdateType type) {
        outcomes.append(type);
        version.showUpdateAlert(type);
    };

    version.check(atLaunch);
    QTRY_COMPARE(outcomes, QList<UpdateType>{UpdateType::soft});
    QCOMPARE(m_ctx->alerts.entries.size(), 1);
    QCOMPARE(m_ctx->alerts.entries.first().alert.buttons, (QStringList{"Update", "Ignore"}));

    version.check(atLaunch);
    QTRY_COMPARE(outcomes.size(), 2);
    QCOMPARE(outcomes.last(), UpdateType::unknown);
    QCOMPARE(m_ctx->alerts.entries.size(), 1);
}

void TestService::updateAlert_data() {
    QTest::addColumn<UpdateType>("type");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("informative");
    QTest::addColumn<QStringList>("buttons");

    const QString optional = QStringLiteral(
        "There is a new version available for Vorpane, click on the 'Update' button for download "
        "it from our website.");
    const QString required = QStringLiteral(
        "This version of Vorpane is no longer available, click on the 'Update' button for download "
        "it from our website.");
    const QStringList both{"Update", "Ignore"};
    QTest::newRow("optional, Update") << UpdateType::soft << 0 << optional << both;
    QTest::newRow("optional, Ignore") << UpdateType::soft << 1 << optional << both;
    QTest::newRow("required, Update") << UpdateType::hard << 0 << required << QStringList{"Update"};
}

void TestService::updateAlert() {
    QFETCH(UpdateType, type);
    QFETCH(int, button);
    QFETCH(QString, informative);
    QFETCH(QStringList, buttons);

    VersionCheck version(context(), *m_session);
    version.setOpenDelayMs(300);
    m_ctx->alerts.sheetAnswers.push_back(button);
    version.showUpdateAlert(type);

    QCOMPARE(m_ctx->alerts.entries.size(), 1);
    const SheetAlert alert = m_ctx->alerts.entries.first().alert;
    QCOMPARE(alert.messageText, QStringLiteral("Update available!"));
    QCOMPARE(alert.informativeText, informative);
    QCOMPARE(alert.buttons, buttons);
    QVERIFY(!alert.critical);

    QTest::qWait(50);
    QVERIFY(m_ctx->opener.opened.isEmpty());
    if (button == 0) {
        QTRY_COMPARE(m_ctx->opener.opened, QList<QUrl>{context().service.accountPage()});
    } else {
        QTest::qWait(400);
        QVERIFY(m_ctx->opener.opened.isEmpty());
    }
}

void TestService::rechargeOpensTheAccountPageAfterTheDelay() {
    VersionCheck version(context(), *m_session);
    version.setOpenDelayMs(300);
    version.rechargeCredit();
    QTest::qWait(50);
    QVERIFY(m_ctx->opener.opened.isEmpty());
    QTRY_COMPARE(m_ctx->opener.opened, QList<QUrl>{m_server->url(QStringLiteral("/account"))});
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
