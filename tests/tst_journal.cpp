#include "BatchJournal.h"
#include "ImageQueue.h"
#include "KeyStore.h"
#include "KeychainKeyStore.h"
#include "OutputOptions.h"
#include "RememberedChoices.h"
#include "TestContext.h"
#include "TestData.h"
#include "UserDefaultKeys.h"
#include "WindowState.h"

#include <sys/stat.h>
#include <QtTest>

namespace {

// One launch of the application's logic on a journal file: the queue and the journal following
// it, and the options remembered in the settings.
struct Session {
    Session(TestContext& t, const QString& path)
        : queue(t.context, window), journal(path), remembered(t.settings, options) {
        restored = journal.attach(queue, t.alerts);
        remembered.restore();
        QCoreApplication::processEvents();  // posted insertions and alerts
    }
    WindowState window;
    ImageQueue queue;
    OutputOptions options;
    BatchJournal journal;
    RememberedChoices remembered;
    int restored = 0;

    // Gives row `i` a state as the run would, and tells the listeners.
    void set(int i, RowStatus status, const QString& text = {}, const QString& url = {},
             bool forGood = false) {
        const DataModelPtr r = queue.at(i);
        r->status = status;
        r->statusText = text;
        r->resultUrl = url;
        r->failedForGood = forGood;
        if (status == RowStatus::Done) r->outputFile = QStringLiteral("/out/") + *r->imageName;
        queue.notifyRowChanged(r.get());
    }
    QString rows() const {
        QStringList out;
        for (int i = 0; i < queue.count(); ++i) {
            const DataModelPtr r = queue.at(i);
            out << QStringLiteral("%1 %2 %3%4%5")
                       .arg(*r->imageName)
                       .arg(int(r->status))
                       .arg(r->statusText, r->resultUrl.isEmpty() ? "" : " url",
                            r->failedForGood ? " for-good" : "");
        }
        return out.join(QStringLiteral(" | "));
    }
};

int mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// A secret store that answers on the next turn of the event loop, or not at all.
class FakeKeyStore final : public KeyStore {
public:
    bool available = true;
    bool refuseWrites = false;
    std::optional<QString> key;
    void readKey(std::function<void(Outcome, const QString&)> done) override {
        later([this, done] {
            done(!available ? Outcome::Unavailable
                 : key      ? Outcome::Ok
                            : Outcome::NotFound,
                 key.value_or(QString()));
        });
    }
    void writeKey(const QString& k, std::function<void(Outcome)> done) override {
        later([this, k, done] {
            if (!refuseWrites) key = k;
            done(refuseWrites ? Outcome::Failed : Outcome::Ok);
        });
    }
    void deleteKey(std::function<void(Outcome)> done) override {
        later([this, done] {
            key.reset();
            done(Outcome::Ok);
        });
    }

private:
    static void later(std::function<void()> f) { QTimer::singleShot(0, std::move(f)); }
};

// The store's answer to a read, waited for.
std::pair<KeyStore::Outcome, QString> readNow(KeyStore& store) {
    std::optional<std::pair<KeyStore::Outcome, QString>> answer;
    store.readKey([&answer](KeyStore::Outcome o, const QString& key) { answer.emplace(o, key); });
    const QDeadlineTimer deadline(10000);
    while (!answer && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return answer.value_or(std::make_pair(KeyStore::Outcome::Failed, QString()));
}

QString fileKey(const QString& settingsPath) {
    QFile f(settingsPath);
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("<none>");
    const QJsonValue v = QJsonDocument::fromJson(f.readAll()).object().value("api_key");
    return v.isUndefined() ? QStringLiteral("<none>") : v.toString();
}

}  // namespace

class JournalTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // Each kind of row as a crash leaves it, and as the next launch shows it.
    void unfinishedBatchComesBackAsItWas() {
        TestContext t;
        const QString path = t.dir.filePath("batch.db");
        QTemporaryDir sources;
        const QStringList files = writeImages(sources.path(), 8, "img%d.png");
        QString crashed;
        {
            Session s(t, path);
            QCOMPARE(s.restored, 0);
            s.queue.admitPaths(files, true);
            s.options.chooseOption(QStringLiteral("JPG"));
            s.options.colorDidChange(QColor(10, 20, 30, 200));
            QCoreApplication::processEvents();
            s.set(0, RowStatus::Done, QStringLiteral(" 8x8"));
            s.set(1, RowStatus::InProgress);
            s.set(2, RowStatus::FailedHalted, QStringLiteral("no connection"));
            s.set(3, RowStatus::Failed, QStringLiteral("not an image"), {}, true);
            s.set(4, RowStatus::Failed, QStringLiteral("download failed"), "http://r/4.png");
            s.set(5, RowStatus::Waiting);                       // its source is deleted below
            s.set(6, RowStatus::Done, QStringLiteral(" 8x8"));  // likewise: done stays done
            QTRY_COMPARE(s.journal.pendingCount(), 0);          // the timer wrote them
            // The service accepts image 7 and the process dies before anything else happens:
            // the paid address is already on disk.
            s.queue.at(7)->status = RowStatus::InProgress;
            s.queue.at(7)->resultUrl = QStringLiteral("http://r/7.png");
            s.queue.notifyResultKnown(s.queue.at(7).get());
            crashed = copyAsCrashLeavesIt(path, t.dir.filePath("crashed.db"));
        }
        QVERIFY(QFile::remove(files.at(5)) && QFile::remove(files.at(6)) &&
                QFile::remove(files.at(7)));

        Session s(t, crashed);
        QCOMPARE(s.restored, 8);
        const int waiting = int(RowStatus::Waiting), failed = int(RowStatus::Failed);
        QCOMPARE(s.rows(), QString("img0.png 2  8x8 | img1.png %1  | img2.png %1  | "
                                   "img3.png %2 not an image for-good | "
                                   "img4.png %2 download failed url | img5.png %2 %3 | "
                                   "img6.png 2  8x8 | img7.png %1  url")
                               .arg(waiting)
                               .arg(failed)
                               .arg(BatchJournal::kSourceGone));
        QCOMPARE(s.window.controls().lblUploadCountText, QStringLiteral("Finished 5 of 8"));
        QVERIFY(s.window.controls().btnStartEnabled && s.window.controls().btnAddEnabled);
        QCOMPARE(s.options.imgFormat, QStringLiteral("jpg"));
        QVERIFY(s.options.isColored && !s.options.transparentEnabled);
        QCOMPARE(s.options.selectedColor, QStringLiteral("#0A141E"));
        // The duplicate rule covers the restored rows; new files join at the end.
        QTemporaryDir more;
        s.queue.admitPaths({files.at(0), writeImages(more.path(), 9, "img%d.png").at(8)}, true);
        QCOMPARE(s.queue.count(), 9);
        QCOMPARE(t.alerts.messages(), QStringList{"Image is already in the list!"});
        QVERIFY(t.alerts.entries.size() == 1);
    }

    // A batch that needs nothing more is not shown again; CLEAR LIST forgets the batch.
    void finishedOrClearedBatchIsNotRestored_data() {
        QTest::addColumn<bool>("clear");
        QTest::newRow("every row done") << false;
        QTest::newRow("CLEAR LIST") << true;
    }
    void finishedOrClearedBatchIsNotRestored() {
        QFETCH(bool, clear);
        TestContext t;
        const QString path = t.dir.filePath("batch.db");
        QTemporaryDir sources;
        {
            Session s(t, path);
            s.queue.admitPaths(writeImages(sources.path(), 3, "img%d.png"), true);
            QCoreApplication::processEvents();
            for (int i = 0; i < 3; ++i) s.set(i, clear ? RowStatus::Waiting : RowStatus::Done);
            if (clear) s.queue.clearList();
            QTRY_COMPARE(s.journal.pendingCount(), 0);
            QCOMPARE(s.queue.count(), clear ? 0 : 3);
            copyAsCrashLeavesIt(path, path + ".copy");
        }
        for (const QString& p : {path + ".copy", path}) {
            Session s(t, p);
            QCOMPARE(s.restored, 0);
            QCOMPARE(s.queue.count(), 0);
        }
    }

    void brokenJournalIsMovedAsideAndTheAppStartsEmpty_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage bytes") << QByteArray(4096, '\x5a');
        QTest::newRow("truncated header") << QByteArray("SQLite format 3\0garbage", 24);
    }
    void brokenJournalIsMovedAsideAndTheAppStartsEmpty() {
        QFETCH(QByteArray, content);
        TestContext t;
        const QString path = t.dir.filePath("batch.db");
        QVERIFY(writeFile(path, content));
        QTemporaryDir sources;
        {
            Session s(t, path);
            QCOMPARE(s.queue.count(), 0);
            QCOMPARE(t.alerts.messages(), QStringList{"The saved batch could not be read"});
            QVERIFY(t.alerts.entries.first().detail.contains(s.journal.movedAside()));
            QCOMPARE(readAll(s.journal.movedAside()), content);
            // The new journal works.
            s.queue.admitPaths(writeImages(sources.path(), 2, "img%d.png"), true);
        }
        Session again(t, path);
        QCOMPARE(again.restored, 2);
        QCOMPARE(t.alerts.entries.size(), 1);  // said once
    }

    // The files that hold the key and the batch are the owner's alone, new or old.
    void keyAndJournalFilesAreOwnerOnly() {
        TestContext t;
        const QString old = t.dir.filePath("old.json");
        QVERIFY(writeFile(old, R"({"api_key":"k"})"));
        QVERIFY(QFile::setPermissions(
            old, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        {
            SettingsStore opened(old);
            opened.setString(UserDefaultKeys::outputFolder, QStringLiteral("/x"));
        }
        Session s(t, t.dir.filePath("sub/batch.db"));
        QTemporaryDir sources;
        s.queue.admitPaths(writeImages(sources.path(), 1, "img%d.png"), true);
        QCoreApplication::processEvents();
        s.journal.flush();
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("k2"));
        for (const QString& p :
             {t.settings.filePath(), old, s.journal.path(), s.journal.path() + "-wal"})
            QVERIFY2(mode(p) == 0600, qPrintable(QString("%1: %2").arg(p).arg(mode(p), 0, 8)));
    }

    // Where the key ends up, by what the secret store does and where the key was.
    void keyMovesToTheSecretStore_data() {
        QTest::addColumn<bool>("available");
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<QString>("inFile");
        QTest::addColumn<QString>("inStore");
        QTest::addColumn<QString>("key");         // as the application reads it
        QTest::addColumn<QString>("fileAfter");   // in the settings file
        QTest::addColumn<QString>("storeAfter");  // in the secret store
        const auto row = [](const char* name, bool available, bool refuse, const char* inFile,
                            const char* inStore, const char* key, const char* fileAfter,
                            const char* storeAfter) {
            QTest::newRow(name) << available << refuse << QString(inFile) << QString(inStore)
                                << QString(key) << QString(fileAfter) << QString(storeAfter);
        };
        row("old file key moves", true, false, "old", "", "old", "<none>", "old");
        row("file key wins over store", true, false, "new", "prev", "new", "<none>", "new");
        row("store only", true, false, "", "s", "s", "<none>", "s");
        row("no store: file stays", false, false, "f", "", "f", "f", "");
        row("store refuses: file stays", true, true, "f", "", "f", "f", "");
    }
    void keyMovesToTheSecretStore() {
        QFETCH(bool, available);
        QFETCH(bool, refuse);
        QFETCH(QString, inFile);
        QFETCH(QString, inStore);
        QFETCH(QString, key);
        QFETCH(QString, fileAfter);
        QFETCH(QString, storeAfter);
        TestContext t;
        if (!inFile.isEmpty()) t.settings.setString(UserDefaultKeys::apiKey, inFile);
        FakeKeyStore store;
        store.available = available;
        store.refuseWrites = refuse;
        if (!inStore.isEmpty()) store.key = inStore;
        bool ready = false;
        t.settings.useKeyStore(&store);
        t.settings.whenKeyReady([&] { ready = true; });
        QVERIFY(!ready);  // the read answers later; nothing waited for it
        QTRY_VERIFY(ready);
        QCOMPARE(t.settings.apiKey(), key);
        QCOMPARE(fileKey(t.settings.filePath()), fileAfter);
        QCOMPARE(store.key.value_or(QString()), storeAfter);
        if (!t.settings.keyInSecretStore()) return;
        // Saving and the credential reset act on the same store, never on the file.
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("saved"));
        QTRY_COMPARE(store.key.value_or(QString()), QStringLiteral("saved"));
        t.settings.credentialReset(t.credits);
        QCOMPARE(t.settings.apiKey(), QString());
        QTRY_VERIFY(!store.key);
        QCOMPARE(fileKey(t.settings.filePath()), QStringLiteral("<none>"));
    }

    // The QtKeychain store against a real Secret Service (started by the test's CTest entry in
    // a private D-Bus session with its own keyring folder).
    void secretServiceKeepsTheKey() {
        if (qEnvironmentVariable("VORPANE_TEST_SECRET_SERVICE") != QLatin1String("1"))
            QSKIP("needs a private Secret Service (the journal_secret_service test)");
        TestContext t;
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("from-file"));
        KeychainKeyStore store(QStringLiteral("Vorpane-test"));
        bool ready = false;
        t.settings.useKeyStore(&store);
        t.settings.whenKeyReady([&] { ready = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ready, 10000);
        QVERIFY(t.settings.keyInSecretStore());
        QCOMPARE(fileKey(t.settings.filePath()), QStringLiteral("<none>"));
        SettingsStore next(t.settings.filePath());
        ready = false;
        next.useKeyStore(&store);
        next.whenKeyReady([&] { ready = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ready, 10000);
        QCOMPARE(next.apiKey(), QStringLiteral("from-file"));
        QCOMPARE(readNow(store), std::make_pair(KeyStore::Outcome::Ok, QString("from-file")));
        next.setApiKey(QString());  // the credential reset
        QCOMPARE(readNow(store).first, KeyStore::Outcome::NotFound);
    }
};

QTEST_MAIN(JournalTest)
#include "tst_journal.moc"
