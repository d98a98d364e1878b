#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

struct AppContext;
struct JsonReply;
class ServiceSession;

// The outcome of the version check.
enum class UpdateType { soft = 0, hard = 1, unknown = 2 };

// The application version check ("get_app_version"), the update alert, and the two ways to the
// service's account page.
class VersionCheck final : public QObject {
    Q_OBJECT
public:
    explicit VersionCheck(AppContext& context, ServiceSession& session, QObject* parent = nullptr);

    // Asks the service for the announced version. The continuation runs with the outcome only
    // when a JSON reply was read; on a failure an alert is shown and it does not run.
    void check(std::function<void(UpdateType)> continuation);
    // The same check; a failure goes to `failed` instead of the alert (which showFailure shows).
    void check(std::function<void(UpdateType)> continuation,
               std::function<void(const JsonReply&)> failed);
    // The failure alert: the generic text, with the service's address and what went wrong.
    void showFailure(const JsonReply& reply);

    // Reads a reply: stores a newer announced version and says what kind of update it is.
    UpdateType readReply(const JsonReply& reply);
    // The whole reply reader: without a JSON value it shows the failure alert and gives nothing
    // (the continuation is not run); otherwise readReply().
    std::optional<UpdateType> handleReply(const JsonReply& reply);

    // The update alert: optional form for `soft` (Update, Ignore), required form for `hard`
    // (Update only). "Update" calls updateApp().
    void showUpdateAlert(UpdateType type);
    // Both log "Hello", wait 0.6 s, then open the account page.
    void rechargeCredit();
    void updateApp();
    void setOpenDelayMs(int ms) { m_openDelayMs = ms; }

private:
    void openAccountPageSoon();

    AppContext& m_context;
    ServiceSession& m_session;
    int m_openDelayMs = 600;
};
