#pragma once

#include <QObject>
#include <QString>
#include <functional>

struct AppContext;
struct JsonReply;
class ServiceSession;

// Verifies an API key with the service ("api_key_verification") and stores it when accepted.
class KeyVerifier final : public QObject {
    Q_OBJECT
public:
    explicit KeyVerifier(AppContext& context, ServiceSession& session, QObject* parent = nullptr);

    // Stores `folderText` as the output folder, then sends `key`. When the service accepts it,
    // the text `currentKey()` returns at that moment is stored (the user may have edited the field
    // meanwhile) and dismissRequested() is emitted.
    void verifyAndSave(const QString& folderText, const QString& key,
                       std::function<QString()> currentKey);
    // Applies a reply (public for tests and fuzzers).
    void handleReply(const JsonReply& reply, const std::function<QString()>& currentKey);

signals:
    // The key was accepted: the settings sheet closes.
    void dismissRequested();
    // A reply (or its absence) has been applied, whatever it said.
    void replyHandled();

private:
    AppContext& m_context;
    ServiceSession& m_session;
};
