#include "KeychainKeyStore.h"

#include <qt6keychain/keychain.h>

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcKeychain, "vorpane.keychain", QtWarningMsg)

namespace {

const QString kEntry = QStringLiteral("api_key");

KeyStore::Outcome outcomeOf(const QKeychain::Job& job) {
    switch (job.error()) {
        case QKeychain::NoError:
            return KeyStore::Outcome::Ok;
        case QKeychain::EntryNotFound:
            return KeyStore::Outcome::NotFound;
        case QKeychain::NoBackendAvailable:
        case QKeychain::NotImplemented:
            return KeyStore::Outcome::Unavailable;
        default:
            qCInfo(lcKeychain) << "secret store:" << job.errorString();
            return KeyStore::Outcome::Failed;
    }
}

// Starts the job; `done` runs when it finishes, and the job deletes itself.
template <typename JobType, typename Done>
void run(JobType* job, Done done) {
    job->setAutoDelete(true);
    job->setKey(kEntry);
    QObject::connect(job, &QKeychain::Job::finished, job,
                     [done = std::move(done)](QKeychain::Job* finished) { done(*finished); });
    job->start();
}

}  // namespace

KeychainKeyStore::KeychainKeyStore(const QString& service) : m_service(service) {}

void KeychainKeyStore::readKey(std::function<void(Outcome, const QString&)> done) {
    auto* job = new QKeychain::ReadPasswordJob(m_service);
    run(job, [job, done = std::move(done)](const QKeychain::Job& finished) {
        const Outcome outcome = outcomeOf(finished);
        done(outcome, outcome == Outcome::Ok ? job->textData() : QString());
    });
}

void KeychainKeyStore::writeKey(const QString& key, std::function<void(Outcome)> done) {
    auto* job = new QKeychain::WritePasswordJob(m_service);
    job->setTextData(key);
    run(job, [done = std::move(done)](const QKeychain::Job& finished) {
        if (done) done(outcomeOf(finished));
    });
}

void KeychainKeyStore::deleteKey(std::function<void(Outcome)> done) {
    auto* job = new QKeychain::DeletePasswordJob(m_service);
    run(job, [done = std::move(done)](const QKeychain::Job& finished) {
        if (done) done(outcomeOf(finished));
    });
}
