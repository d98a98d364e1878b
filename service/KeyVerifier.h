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

    // Stores `folderText` as the output folder, then sends `key` (without surrounding blanks).
    // Only the text the service accepted is stored, and only then (dismissRequested() follows);
    // a refused key leaves a working stored key in place, and a service that cannot be reached
    // changes nothing.
    void verifyAndSave(const QString& folderText, const QString& key);
    // Applies a reply to the verification of `key` (public for tests and fuzzers).
    void handleReply(const JsonReply& reply, const QString& key);

signals:
    // The key was accepted: the settings sheet closes.
    void dismissRequested();
    // The key is empty or was refused: the field that holds it wants the user's attention.
    void keyRejected();
    // A reply (or its absence) has been applied, whatever it said.
    void replyHandled();

private:
    AppContext& m_context;
    ServiceSession& m_session;
};
