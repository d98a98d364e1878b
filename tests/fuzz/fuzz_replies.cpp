// Feeds arbitrary reply bodies through the JSON reading of the service session and the readers of
// the credit check, the key verification and the version check, and checks what must hold for any
// body. Build with clang (see tests/service.cmake) and run:
//   fuzz_replies -dict=tests/fuzz/replies.dict tests/fuzz/replies_corpus
#include "ConsoleLog.h"
#include "CreditService.h"
#include "KeyVerifier.h"
#include "NaturalOrder.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

int g_argc = 1;
char g_name[] = "fuzz_replies";
char* g_argv[] = {g_name, nullptr};
QCoreApplication g_app(g_argc, g_argv);

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

struct Harness {
    TestContext ctx{*Constant::fromServiceUrl(QStringLiteral("http://127.0.0.1:9/api/v1/"))};
    ServiceSession session;
    CreditService credit{ctx.context, session};
    KeyVerifier verifier{ctx.context, session};
    VersionCheck version{ctx.context, session};
    int dismissals = 0;
    int posts = 0;

    Harness() {
        ConsoleLog::setEnabled(false);
        QObject::connect(&verifier, &KeyVerifier::dismissRequested, [this] { ++dismissals; });
        QObject::connect(&ctx.notifier, &Notifier::updateCredit, [this] { ++posts; });
    }
};

Harness& harness() {
    static Harness h;
    return h;
}

const QRegularExpression kDisplay(
    QStringLiteral("^Free credit: -?\\d+  Top up plan: -?\\d+  Subscription plan: -?\\d+  \\|  "
                   "Total credits: -?\\d+$"));

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    // The first byte chooses the HTTP status; the rest is the body.
    static const int kStatuses[] = {200, 201, 400, 401, 404, 500, 502, 503};
    const int status = size > 0 ? kStatuses[data[0] % 8] : 200;
    const QByteArray body = size > 0 ? QByteArray(reinterpret_cast<const char*>(data) + 1,
                                                  static_cast<qsizetype>(size - 1))
                                     : QByteArray();

    const JsonReply reply = ServiceSession::readJsonBody(body, status);
    require(reply.httpStatus == status, "status kept");
    require(reply.hasValue || reply.object.isEmpty(), "no value means an empty object");
    require(reply.hasValue || !reply.description.isEmpty(), "no value is explained");

    // Credit check.
    h.ctx.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("key"));
    h.ctx.credits.setBalances(1, 2, 3);
    h.credit.refreshDisplay();
    QCoreApplication::sendPostedEvents();
    h.ctx.alerts.clear();
    h.credit.handleReply(reply);
    QCoreApplication::sendPostedEvents();
    require(h.ctx.alerts.entries.size() <= 1, "at most one alert");
    if (!reply.hasValue) {
        require(
            h.ctx.alerts.messages() == QStringList{QStringLiteral("Oops! something went wrong.")},
            "no value: the lower-case alert");
        require(h.ctx.settings.apiKey() == QLatin1String("key"), "no value: the key stays");
    } else if (!h.ctx.alerts.entries.isEmpty()) {
        require(h.ctx.alerts.messages() == QStringList{QStringLiteral("Invalid API Key")},
                "a value: only the invalid-key alert");
        require(h.ctx.settings.apiKey().isEmpty(), "invalid key: key reset");
    } else {
        require(h.ctx.settings.apiKey() == QLatin1String("key"), "otherwise the key stays");
    }
    require(h.credit.displayText() == CreditService::creditText(h.ctx.credits.snapshot()),
            "display follows the record");
    // Balances reset with a refused key are unknown until fetched again.
    require(kDisplay.match(h.credit.displayText()).hasMatch() ||
                (!h.ctx.credits.snapshot().hasBalances() &&
                 h.credit.displayText() == CreditService::kUnknownCredits),
            "display shape");

    // Key verification.
    h.ctx.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("key"));
    h.ctx.alerts.clear();
    h.dismissals = 0;
    h.posts = 0;
    h.verifier.handleReply(reply, QStringLiteral("current"));
    const QString key = h.ctx.settings.apiKey();
    if (h.dismissals == 1) {
        require(key == QLatin1String("current") && h.posts == 1 && h.ctx.alerts.entries.isEmpty(),
                "success stores the current text");
    } else {
        require(h.dismissals == 0, "at most one dismissal");
        require(h.posts <= 1, "at most one post");
        require(key == (h.posts == 1 ? QString() : QStringLiteral("key")),
                "a post follows a reset, no post leaves the key alone");
        require(h.ctx.alerts.entries.size() <= 1, "at most one alert");
    }

    // Version check.
    const QString stored = QStringLiteral("1.9");
    h.ctx.settings.setString(UserDefaultKeys::appVersion, stored);
    h.ctx.alerts.clear();
    const std::optional<UpdateType> outcome = h.version.handleReply(reply);
    require(outcome.has_value() == reply.hasValue, "an outcome exactly when there is a value");
    require(outcome.has_value() || h.ctx.alerts.entries.size() == 1, "failure alert");
    const QString after = h.ctx.settings.appVersion();
    if (after != stored) {
        require(compareNumeric(after, stored) > 0, "only a newer version is stored");
        require(after == reply.object.value(QLatin1String("app_version")).toString(),
                "the announced version is stored");
    }
    if (outcome && *outcome != UpdateType::unknown) require(after != stored, "an update is newer");
    return 0;
}
