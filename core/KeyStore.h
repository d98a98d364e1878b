#pragma once

#include <QString>
#include <functional>

// A place outside the settings file where the API key is kept: the desktop's secret store.
// Every call answers later, on the caller's thread, so that no call waits for the store.
class KeyStore {
public:
    enum class Outcome {
        Ok,
        NotFound,     // the store answered and holds no key
        Unavailable,  // no store answers (a bare X session, no D-Bus service)
        Failed,       // the store answered with an error (locked, refused)
    };
    virtual ~KeyStore() = default;
    virtual void readKey(std::function<void(Outcome, const QString& key)> done) = 0;
    virtual void writeKey(const QString& key, std::function<void(Outcome)> done) = 0;
    virtual void deleteKey(std::function<void(Outcome)> done) = 0;
};
