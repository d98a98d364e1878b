#pragma once

#include "KeyStore.h"

// The API key in the desktop's secret store (the Secret Service, or KWallet), under the service
// "Vorpane". Every call runs as a QtKeychain job and answers from the event loop.
class KeychainKeyStore final : public KeyStore {
public:
    explicit KeychainKeyStore(const QString& service = QStringLiteral("Vorpane"));

    void readKey(std::function<void(Outcome, const QString& key)> done) override;
    void writeKey(const QString& key, std::function<void(Outcome)> done) override;
    void deleteKey(std::function<void(Outcome)> done) override;

private:
    QString m_service;
};
