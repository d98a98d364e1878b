#include "CreditService.h"
#include "KeyVerifier.h"
#include "ScriptedServer.h"
#include "ServiceFailure.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "TestData.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

using Text = std::optional<QString>;
using Balances = QList<qint64>;
const QString kOops = QStringLiteral("Oops! something went wrong.");
const QByteArray kHtml = "<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>";
const QByteArray kCreditPath = "/api/v1/credit_check";
const QByteArray kVerifyPath = "/api/v1/api_key_verification";

QByteArray balances(qint64 free, qint64 topUp, qint64 subscription, const QByteArray& extra = {}) {
    return balancesJson(free, topUp, subscription).chopped(1) + extra + "}";
}

// A reply that counts for the credit check and for the key verification alike, if it is read.
const QByteArray kGood = balances(1, 2, 3, R"(,"message":"success")");

QString display(const Balances& b) {
    const QString text =
        "Free credit: %1  Top up plan: %2  Subscription plan: %3  |  Total credits: %4";
    return text.arg(b[0]).arg(b[1]).arg(b[2]).arg(b[0] + b[1] + b[2]);
}

ScriptedReply replyOf(const QByteArray& body, int status = 200) {
    return body.startsWith('<') ? ScriptedReply::bytes(status, "text/html", body)
                                : ScriptedReply::json(status, body);
}

template <typename... Owner>
void resetInOrder(Owner&... owners) {
    (owners.reset(), ...);
}

// Starts a call and waits until `sender` says its reply has been handled.
template <typename Sender>
bool handle(Sender& sender, void (Sender::*handled)(), const std::function<void()>& start) {
    QSignalSpy spy(&sender, handled);
    start();
    return !spy.isEmpty() || spy.wait(10000);
}

}  // namespace

Q_DECLARE_METATYPE(ScriptedReply)
Q_DECLARE_METATYPE(ServiceAnswer)
Q_DECLARE_METATYPE(UpdateType)

class TestService final : public QObject {
    Q_OBJECT

    // Sends the key field's text, as Save does.
    bool verifyKey(const QString& typed) {
        return handle(*m_verifier, &KeyVerifier::replyHandled,
                      [&] { m_verifier->verifyAndSave(QStringLiteral("/new/folder"), typed); });
    }
    // The account page opens after the delay (0.3 s here), not at once.
    void expectAccountPage(bool opens) {
        QTest::qWait(50);
        QVERIFY(m_ctx->opener.opened.isEmpty());
        QTest::qWait(400);
        QCOMPARE(m_ctx->opener.opened, QList<QUrl>(opens ? 1 : 0, m_server->url("/account")));
    }
    // Exchanges that break before a whole JSON reply has been read: each is a reply without JSON.
    void addBrokenRows(const std::function<void(QTestData&)>& expected) {
        auto row = [&](const char* n, const ScriptedReply& r) { expected(QTest::newRow(n) << r); };
        const QByteArray big = kGood.chopped(1) + ",\"pad\":\"" + QByteArray(2 << 20, ' ') + "\"}";
        ScriptedReply trickle = ScriptedReply::endless(200, "application/json");
        trickle.body = " ";
        trickle.endlessIntervalMs = 40;
        ScriptedReply streamed = ScriptedReply::endless(200, "application/json");
        streamed.endlessIntervalMs = 0;
        row("HTML error page", replyOf(kHtml, 502));
        row("accepted, never answered", ScriptedReply::hold());
        row("trickles past the total deadline", trickle);
        row("closed without an answer", ScriptedReply::close());
        row("complete JSON object, then the connection drops",
            ScriptedReply::truncate(200, "application/json", kGood));
        row("302 to another port",
            ScriptedReply::redirect(302,
                                    m_elsewhere.url(QString::fromLatin1(kCreditPath)).toEncoded()));
        row("2 MiB JSON object", ScriptedReply::json(200, big));
        row("endless body without a length", streamed);
        // A zlib stream, which is what "deflate" names: qCompress output after its length.
        row("small deflated body that inflates to 2 MiB",
            ScriptedReply::json(200, qCompress(big, 9).mid(4))
                .withHeader("Content-Encoding", "deflate"));
    }

    ScriptedServer m_elsewhere;  // a redirect target: the key must never reach it
    int m_elsewhereContacts = 0;
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<TestContext> m_ctx;
    std::unique_ptr<ServiceSession> m_session;
    std::unique_ptr<CreditService> m_credit;
    std::unique_ptr<KeyVerifier> m_verifier;
    std::unique_ptr<VersionCheck> m_version;

private slots:
    void initTestCase() { QVERIFY(m_elsewhere.start()); }

    // Every exchange's outcome as one decision: what the reply was -> what happens next, in
    // which words, and the pause before the first retry (-1: none).
    void failureVocabulary_data() {
        QTest::addColumn<ServiceAnswer>("answer");
        QTest::addColumn<QString>("outcome");  // kind: reason
        QTest::addColumn<qint64>("pause");
        using N = QNetworkReply;
        using B = ServiceAnswer::Body;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const QByteArray in20s =
            now.addSecs(20).toString(QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'")).toLatin1();
        // `certificate`: the faults found in it.
        auto row = [now](const char* name, bool download, N::NetworkError error, bool timedOut,
                         int status, B body, const QString& text, const QByteArray& retryAfter,
                         const QString& outcome, qint64 pause,
                         const QList<QSslError::SslError>& certificate = {}) {
            ServiceAnswer a;
            a.exchange =
                download ? ServiceAnswer::Exchange::Download : ServiceAnswer::Exchange::Json;
            a.error = error;
            a.timedOut = timedOut;
            a.httpStatus = status;
            a.body = body;
            a.errorText = text;
            if (body == B::TooLarge) a.description = QStringLiteral("too big");
            a.retryAfterMs = parseRetryAfter(retryAfter, now);
            a.certificateErrors = certificate;
            a.host = QStringLiteral("api.example.com");
            QTest::newRow(name) << a << outcome << pause;
        };
        // A secure connection refused: the gravest fault is named, with the host.
        auto untrusted = [&row](const char* name, bool download,
                                const QList<QSslError::SslError>& errors, const QString& words) {
            row(name, download, N::SslHandshakeFailedError, false, 0, B::None, {}, {},
                "halt: api.example.com: " + words, -1, errors);
        };
        using E = QSslError;
        // clang-format off
        row("refused", false, N::ConnectionRefusedError, false, 0, B::None, {}, {}, "transient: connection refused", 1000);
        row("reset", false, N::RemoteHostClosedError, false, 0, B::None, {}, {}, "transient: connection lost", 1000);
        row("Qt's time-out", true, N::TimeoutError, false, 0, B::None, {}, {}, "transient: no answer in time", 1000);
        row("our time-out", false, N::OperationCanceledError, true, 0, B::None, {}, {}, "transient: no answer in time", 1000);
        row("host unknown", false, N::HostNotFoundError, false, 0, B::None, {}, {}, "transient: host not found", 1000);
        untrusted("no handshake agreed", false, {}, "no secure connection could be agreed");
        untrusted("unknown issuer, expired", false, {E::UnableToGetLocalIssuerCertificate, E::UnableToVerifyFirstCertificate, E::CertificateExpired}, "the issuer is unknown");
        untrusted("self-signed", true, {E::HostNameMismatch, E::SelfSignedCertificate}, "the certificate is self-signed");
        untrusted("expired, another name", false, {E::HostNameMismatch, E::CertificateExpired}, "the certificate has expired");
        untrusted("not yet valid", false, {E::CertificateNotYetValid}, "the certificate is not valid yet");
        untrusted("revoked", false, {E::CertificateRevoked}, "the certificate has been revoked");
        untrusted("another name", true, {E::HostNameMismatch}, "the certificate is for another name");
        row("closed before the announced length", false, N::NoError, false, 0, B::CutShort, {}, {}, "transient: connection lost", 1000);
        row("reply over the cap", false, N::NoError, false, 200, B::TooLarge, {}, {}, "halt: too big", -1);
        row("result over the cap", true, N::NoError, false, 200, B::TooLarge, {}, {}, "permanent: too big", -1);
        row("402", false, N::ContentAccessDenied, false, 402, B::Json, "No credit left", {}, "out of credit: No credit left", -1);
        row("400 saying no credit", false, N::ProtocolInvalidOperationError, false, 400, B::Json, "Insufficient credits", {}, "out of credit: Insufficient credits", -1);
        row("429, Retry-After seconds", false, N::UnknownContentError, false, 429, B::Json, "slow down", "7", "overloaded: too many requests", 7000);
        row("429, Retry-After date", false, N::UnknownContentError, false, 429, B::Json, {}, in20s, "overloaded: too many requests", 19000);
        row("503 asks for a minute and more", false, N::ServiceUnavailableError, false, 503, B::NotJson, {}, "600", "overloaded: service unavailable", 60000);
        row("500 JSON", false, N::InternalServerError, false, 500, B::Json, "Busy", {}, "transient: HTTP status 500", 1000);
        row("502 HTML", false, N::UnknownServerError, false, 502, B::NotJson, {}, {}, "transient: bad gateway", 1000);
        row("501 JSON", false, N::OperationNotImplementedError, false, 501, B::Json, "nope", {}, "permanent: HTTP status 501", -1);
        row("507 HTML", false, N::UnknownServerError, false, 507, B::NotJson, {}, {}, "transient: HTTP status 507", 1000);
        row("upload: invalid api key", false, N::AuthenticationRequiredError, false, 401, B::Json, "invalid api key", {}, "key refused: invalid api key", -1);
        row("credit check: invalid api key", false, N::NoError, false, 200, B::Json, "invalid api key", {}, "key refused: invalid api key", -1);
        row("another case is another text", false, N::NoError, false, 200, B::Json, "Invalid API key", {}, "none: ", -1);
        row("426", false, N::UnknownContentError, false, 426, B::Json, "update", {}, "update required: HTTP status 426", -1);
        row("400 JSON", false, N::ProtocolInvalidOperationError, false, 400, B::Json, "Bad", {}, "permanent: HTTP status 400", -1);
        row("404 page on an endpoint", false, N::ContentNotFoundError, false, 404, B::NotJson, {}, {}, "halt: HTTP status 404", -1);
        row("200 not JSON", false, N::NoError, false, 200, B::NotJson, {}, {}, "halt: HTTP status 200", -1);
        row("result 410", true, N::ContentGoneError, false, 410, B::None, {}, {}, "result gone: HTTP status 410", -1);
        row("result 403", true, N::ContentAccessDenied, false, 403, B::None, {}, {}, "permanent: HTTP status 403", -1);
        // clang-format on
    }
    void failureVocabulary() {
        QFETCH(ServiceAnswer, answer);
        QFETCH(QString, outcome);
        QFETCH(qint64, pause);
        const ServiceFailure f = ServiceFailure::classify(answer);
        static const QStringList kinds{
            "none",        "transient",       "overloaded", "result gone", "out of credit",
            "key refused", "update required", "permanent",  "halt"};
        QCOMPARE(kinds.at(int(f.kind)) + ": " + f.reason, outcome);
        QCOMPARE(f.untrusted, answer.error == QNetworkReply::SslHandshakeFailedError);
        const RetrySchedule schedule;
        const qint64 first = f.mayPass() ? schedule.pauseBefore(0, f.retryAfterMs) : -1;
        QVERIFY2(std::abs(first - pause) <= 1000, qPrintable(QString::number(first)));
    }

    void init() {
        // A reply read after it was closed means a broken exchange was handled out of order.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open")));
        m_elsewhereContacts = m_elsewhere.connectionCount();
        m_server = std::make_unique<ScriptedServer>();
        QVERIFY(m_server->start());
        m_ctx = std::make_unique<TestContext>(
            *Constant::fromServiceUrl(m_server->baseUrl().toString()));
        m_ctx->settings.setString(UserDefaultKeys::apiKey, QStringLiteral("old-key"));
        m_ctx->credits.setBalances(7, 8, 9);
        m_session = std::make_unique<ServiceSession>();
        m_session->setTimeouts(1000, 1500);  // silence, and calls that drag on, fail in seconds
        m_credit = std::make_unique<CreditService>(m_ctx->context, *m_session);
        m_verifier = std::make_unique<KeyVerifier>(m_ctx->context, *m_session);
        m_version = std::make_unique<VersionCheck>(m_ctx->context, *m_session);
        m_version->setOpenDelayMs(300);
    }

    void cleanup() {
        resetInOrder(m_version, m_verifier, m_credit, m_session, m_ctx, m_server);
        QCOMPARE(m_elsewhere.connectionCount(), m_elsewhereContacts);
    }

    void wireShape_data() {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("value");  // the stored or typed key, or the app type
        const QString key = QStringLiteral("cl\u00e9-\u043a\u043b\u044e\u0447-\U0001F511 x");
        QTest::newRow("credit check: stored key") << "credit_check" << key;
        QTest::newRow("key verification: empty key") << "api_key_verification" << QString();
        QTest::newRow("version check") << "get_app_version" << QStringLiteral("mac");
    }

    void wireShape() {
        QFETCH(QString, endpoint);
        QFETCH(QString, value);
        if (endpoint == QLatin1String("credit_check")) {
            m_ctx->settings.setString(UserDefaultKeys::apiKey, value);
            m_credit->getCreditDetails();
        } else if (endpoint == QLatin1String("api_key_verification")) {
            m_verifier->verifyAndSave(QStringLiteral("/tmp"), value);
        } else {
            m_version->check([](UpdateType) {});
        }

        QVERIFY(m_server->waitForRequests(1));
        const RecordedRequest request = m_server->lastRequest();
        QCOMPARE(request.method + ' ' + request.path, "POST /api/v1/" + endpoint.toUtf8());
        QVERIFY(request.header("Content-Type").startsWith("multipart/form-data; boundary="));
        QVERIFY(request.multipartValid);
        QCOMPARE(request.parts.size(), 1);
        const QByteArray field =
            endpoint == QLatin1String("get_app_version") ? "app_type" : "api_key";
        const RecordedPart& part = request.parts.first();
        QCOMPARE(part.headers.size(), 1);
        QCOMPARE(part.headers.first().first.toLower() + ": " + part.headers.first().second,
                 "content-disposition: form-data; name=\"" + field + "\"");
        QCOMPARE(part.body, value.toUtf8());
        QCOMPARE(m_server->requestCount(), 1);
    }

    void creditReplies_data() {
        QTest::addColumn<ScriptedReply>("reply");
        QTest::addColumn<QStringList>("alerts");  // only "Invalid API Key" resets the key
        QTest::addColumn<Balances>("after");      // {7, 8, 9}: the record is left alone
        auto add = [](const char* name, const ScriptedReply& reply, const QStringList& alerts,
                      const Balances& after) { QTest::newRow(name) << reply << alerts << after; };
        add("three balances", replyOf(balances(3, 0, 120)), {}, {3, 0, 120});
        add("three zeros: out of credit", replyOf(balances(0, 0, 0)), {}, {0, 0, 0});
        add("negative total", replyOf(balances(2, -5, 0)), {}, {2, -5, 0});
        add("JSON with status 500 is read normally", replyOf(balances(1, 2, 3), 500), {},
            {1, 2, 3});
        add("balances win over the invalid-key message",
            replyOf(balances(4, 5, 6, R"(,"message":"invalid api key")")), {}, {4, 5, 6});
        add("balance sent as the string \"5\"", replyOf(balances(5, 0, 0).replace(":5", ":\"5\"")),
            {}, {7, 8, 9});
        add("key spelled without the space after you",
            replyOf(balances(1, 1, 1).replace("you _go", "you_go")), {}, {7, 8, 9});
        add("invalid api key", replyOf(R"({"message":"invalid api key"})"), {"Invalid API Key"},
            {0, 0, 0});
        add("the message in another case is just another message",
            replyOf(R"({"message":"Invalid API Key"})", 401), {}, {7, 8, 9});
        add("empty JSON array reads as an empty object", replyOf("[]"), {}, {7, 8, 9});
        // Not reaching the service says nothing about the key or the balances.
        addBrokenRows([](QTestData& row) { row << QStringList{kOops} << Balances{7, 8, 9}; });
    }

    void creditReplies() {
        QFETCH(ScriptedReply, reply);
        QFETCH(QStringList, alerts);
        QFETCH(Balances, after);
        m_server->script(kCreditPath, reply);
        QVERIFY(handle(*m_credit, &CreditService::replyHandled,
                       [this] { m_credit->getCreditDetails(); }));
        QCOMPARE(m_ctx->alerts.messages(), alerts);
        const bool reset = alerts == QStringList{"Invalid API Key"};
        QCOMPARE(m_ctx->settings.apiKey(), reset ? QString() : QStringLiteral("old-key"));
        if (alerts == QStringList{kOops})
            QVERIFY(m_ctx->alerts.entries.first().detail.startsWith(
                "The service at " + m_ctx->context.service.baseUrl().toString() +
                " could not be reached ("));
        QCOMPARE(m_ctx->credits.snapshot().creditTotal(), after[0] + after[1] + after[2]);
        QCOMPARE(m_ctx->credits.snapshot().isOutOfCredit(), after == Balances({0, 0, 0}));
        // A key refused leaves no balance known: "Credits: —", never a 0 nobody answered.
        QTRY_COMPARE(m_credit->displayText(),
                     reset ? QStringLiteral("Credits: \u2014") : display(after));
    }

    void keyReplies_data() {
        QTest::addColumn<ScriptedReply>("reply");
        QTest::addColumn<QStringList>("alerts");
        // "old-key": nothing happens; otherwise "updateCredit" is posted. Only "success" closes.
        QTest::addColumn<QString>("keyAfter");
        QTest::addColumn<QString>("typed");
        auto add = [](const char* name, const char* typed, const ScriptedReply& r,
                      const QStringList& alerts, const char* key) {
            QTest::newRow(name) << r << alerts << QString(key) << QString(typed);
        };
        const ScriptedReply invalid = replyOf(R"({"message":"invalid api key"})", 400);
        // The field is edited while the request is pending: the text verified is stored.
        add("success, pasted with blanks", " new-key\n", replyOf(R"({"message":"success"})"), {},
            "new-key");
        add("a mistyped new key keeps the working one", "new-key", invalid, {"Invalid Api key"},
            "old-key");
        add("the stored key refused", "old-key", invalid, {"Invalid Api key"}, "");
        add("Success with a capital S", "new-key", replyOf(R"({"message":"Success"})"), {},
            "old-key");
        add("no message", "new-key", replyOf(R"({"status":"success"})"), {}, "old-key");
        // Not reaching the service changes nothing, and says so. The session reads a broken
        // exchange alike for every endpoint (the credit check's rows); the verifier meets two.
        const ScriptedReply away = ScriptedReply::redirect(
            302, m_elsewhere.url(QString::fromLatin1(kVerifyPath)).toEncoded());
        add("HTML error page", "new-key", replyOf(kHtml, 502), {kOops}, "old-key");
        add("302 to another port", "new-key", away, {kOops}, "old-key");
    }

    void keyReplies() {
        QFETCH(ScriptedReply, reply);
        QFETCH(QStringList, alerts);
        QFETCH(QString, keyAfter);
        QFETCH(QString, typed);
        m_server->script(kVerifyPath, reply);
        QSignalSpy dismissed(m_verifier.get(), &KeyVerifier::dismissRequested);
        QSignalSpy posted(&m_ctx->notifier, &Notifier::updateCredit);

        QVERIFY(verifyKey(typed));
        QCOMPARE(m_server->lastRequest().parts.value(0).body, typed.trimmed().toUtf8());
        QCOMPARE(m_ctx->alerts.messages(), alerts);
        QCOMPARE(m_ctx->settings.string(UserDefaultKeys::apiKey), Text(keyAfter));
        QCOMPARE(m_ctx->credits.snapshot().creditTotal(), keyAfter.isEmpty() ? 0 : 24);
        QCOMPARE(posted.count(), keyAfter == QLatin1String("old-key") ? 0 : 1);
        QCOMPARE(dismissed.count(), keyAfter == QLatin1String("new-key") ? 1 : 0);
        // The folder is kept whatever the service says about the key.
        QCOMPARE(m_ctx->settings.string(UserDefaultKeys::outputFolder), Text("/new/folder"));
    }

    // A refused stored key is cleared; the credit check that follows has no key to send.
    void refusedStoredKeyIsNotFollowedByAnEmptyCreditCheck() {
        m_server->script(kVerifyPath, ScriptedReply::json(200, R"({"message":"invalid api key"})"));
        connect(&m_ctx->notifier, &Notifier::updateCredit, m_credit.get(),
                &CreditService::getCreditDetails);
        QVERIFY(verifyKey(QStringLiteral("old-key")));
        QTest::qWait(50);
        QCOMPARE(m_server->requestCount(kCreditPath), 0);
        QCOMPARE(m_ctx->alerts.messages(), QStringList{"Invalid Api key"});
        QTRY_COMPARE(m_credit->displayText(), QStringLiteral("Credits: \u2014"));
    }

    void versionReplies_data() {
        QTest::addColumn<Text>("stored");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<UpdateType>("outcome");
        QTest::addColumn<QString>("storedAfter");
        auto row = [](const char* name, Text stored, const char* version, const char* type,
                      UpdateType outcome, const char* after) {
            QJsonObject o{{"update_type", type}};
            if (version) o.insert("app_version", version);
            QTest::newRow(name) << stored << QJsonDocument(o).toJson() << outcome << QString(after);
        };
        row("1.9 then 1.10", "1.9", "1.10", "soft", UpdateType::soft, "1.10");
        row("1.10 then 1.9", "1.10", "1.9", "hard", UpdateType::unknown, "1.10");
        row("same version", "2.0", "2.0", "hard", UpdateType::unknown, "2.0");
        row("hard", "1.0", "1.1", "hard", UpdateType::hard, "1.1");
        row("Hard with a capital H", "1.0", "1.1", "Hard", UpdateType::unknown, "1.1");
        row("nothing stored, 1.0 soft", {}, "1.0", "soft", UpdateType::soft, "1.0");
        row("no app_version", {}, nullptr, "soft", UpdateType::unknown, "");
    }

    void versionReplies() {
        QFETCH(Text, stored);
        QFETCH(QByteArray, body);
        QFETCH(UpdateType, outcome);
        QFETCH(QString, storedAfter);
        m_ctx->settings.setString(UserDefaultKeys::appVersion, stored);
        m_server->script("/api/v1/get_app_version", ScriptedReply::json(200, body));
        // The same announcement a second time is no update any more.
        for (UpdateType expected : {outcome, UpdateType::unknown}) {
            std::optional<UpdateType> result;
            m_version->check([&result](UpdateType type) { result = type; });
            QTRY_VERIFY(result);
            QCOMPARE(*result, expected);
            QCOMPARE(m_ctx->settings.appVersion(), storedAfter);
        }
        QVERIFY(m_ctx->alerts.entries.isEmpty());
    }

    void updateAlert_data() {
        QTest::addColumn<UpdateType>("type");
        QTest::addColumn<int>("button");
        QTest::newRow("optional, Update") << UpdateType::soft << 0;
        QTest::newRow("optional, Ignore") << UpdateType::soft << 1;
        QTest::newRow("required, Update") << UpdateType::hard << 0;
    }

    void updateAlert() {
        QFETCH(UpdateType, type);
        QFETCH(int, button);
        const bool optional = type == UpdateType::soft;
        m_ctx->alerts.sheetAnswers.push_back(button);
        m_version->showUpdateAlert(type);

        QCOMPARE(m_ctx->alerts.messages(), QStringList{"Update available!"});
        const SheetAlert alert = m_ctx->alerts.entries.value(0).alert;
        QCOMPARE(alert.buttons,
                 (optional ? QStringList{"Update", "Ignore"} : QStringList{"Update"}));
        QVERIFY(!alert.critical);
        QCOMPARE(alert.escapeAnswers, optional);  // Escape never dismisses a required update
        expectAccountPage(button == 0);           // "Ignore" opens nothing
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
