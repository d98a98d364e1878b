#include "BatchRun.h"
#include "BatchSession.h"
#include "ImageQueue.h"
#include "LocalService.h"
#include "PaidLedger.h"
#include "RunConfig.h"
#include "ScriptedServer.h"
#include "ScriptedServerThread.h"
#include "ServiceSession.h"
#include "TestCertificates.h"
#include "TestContext.h"
#include "TestData.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <csignal>

namespace {

const QByteArray kUploadPath = "/api/v1/remove_image_background";
const QByteArray kCreditPath = "/api/v1/credit_check";

// The service on the scripted server: the credit check answers `credit`; an upload of an image
// named "bad*" is refused, any other is answered per `upload` (accept, html404, 402) after
// `delayMs`; each result is a small PNG.
ScriptedServer::Handler service(ScriptedServer& server, const QByteArray& credit,
                                const QString& upload, int delayMs = 0) {
    const QString results = server.url("/results/").toString();
    return [=](const RecordedRequest& r) {
        if (r.path == kCreditPath) return ScriptedReply::json(200, credit);
        if (r.path.startsWith("/results/"))
            return ScriptedReply::bytes(200, "image/png", imageBytes(8, 6));
        if (r.path != kUploadPath) return ScriptedReply::json(200, "{}");
        if (sentName(r).startsWith("bad"))
            return ScriptedReply::json(400, R"({"error":"The image data is damaged"})");
        if (upload == "html404") return ScriptedReply::bytes(404, "text/html", "<h1>gone</h1>");
        if (upload == "402") return ScriptedReply::json(402, R"({"error":"No credit left"})");
        // "opaque": named the way most services name their results, after nothing of the photo.
        const QString url =
            results +
            (upload == "opaque" ? QCryptographicHash::hash(r.body, QCryptographicHash::Md5).toHex()
                                : QFileInfo(sentName(r)).baseName().toUtf8()) +
            ".png";
        const QString json(
            R"({"output_image_url":"%1","ff_credit":9,"tp_credit":0,"sp_credit":0})");
        return ScriptedReply::json(200, json.arg(url).toUtf8()).withDelay(delayMs);
    };
}
void scriptService(ScriptedServer& server, const QByteArray& credit, const QString& upload,
                   int delayMs = 0) {
    server.setHandler(service(server, credit, upload, delayMs));
}
int resultRequests(const ScriptedServer& server) {
    const QList<RecordedRequest> all = server.requests();
    return int(std::count_if(all.begin(), all.end(), [](const RecordedRequest& r) {
        return r.path.startsWith("/results/");
    }));
}

// One run of the program and what it printed.
struct Outcome {
    int code = -1;
    bool crashed = false;  // ended by a signal
    QByteArray out;
    QByteArray err;

    QList<QJsonObject> jsonLines() const {
        QList<QJsonObject> lines;
        for (const QByteArray& line : out.split('\n'))
            if (!line.isEmpty()) lines.append(QJsonDocument::fromJson(line).object());
        return lines;
    }
    QString describe() const { return QString::fromUtf8("exit %1\n" + out + err).arg(code); }
};

// A home of its own for every run (settings, Downloads, runtime folder), the images to send and
// the folder the results go to.
class Sandbox {
public:
    Sandbox() {
        QDir().mkpath(home() + "/.config/Vorpane");
        QDir().mkpath(runtime());
        QFile(runtime()).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString home() const { return dir.filePath("home"); }
    QString runtime() const { return dir.filePath("run"); }
    QString input(const QString& name = QString()) const { return dir.filePath("in/" + name); }
    QString output(const QString& name = QString()) const { return dir.filePath("out/" + name); }
    QString settingsFile() const { return home() + "/.config/Vorpane/Vorpane.json"; }
    // The window's journal, which holds the ledger of paid results.
    QString ledgerFile() const { return home() + "/.local/share/Vorpane/Vorpane/batch.db"; }
    void storeSettings(const QJsonObject& settings) const {
        QVERIFY(writeFile(settingsFile(), QJsonDocument(settings).toJson()));
    }

    QProcessEnvironment environment(const QString& key) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("VORPANE_API_KEY");
        if (!key.isNull()) env.insert("VORPANE_API_KEY", key);
        env.insert("HOME", home());
        env.insert("XDG_CONFIG_HOME", home() + "/.config");
        env.insert("XDG_DATA_HOME", home() + "/.local/share");
        env.insert("XDG_RUNTIME_DIR", runtime());
        return env;
    }
    void start(QProcess& process, const QStringList& args, const QString& key) const {
        process.setProcessEnvironment(environment(key));
        process.start(QStringLiteral(VORPANE_CLI_PATH), args);
    }
    static Outcome finish(QProcess& process, int timeoutMs = 60000) {
        Outcome o;
        if (!process.waitForFinished(timeoutMs)) process.kill();
        o.crashed = process.exitStatus() == QProcess::CrashExit;
        o.code = process.exitCode();
        o.out = process.readAllStandardOutput();
        o.err = process.readAllStandardError();
        return o;
    }
    Outcome run(const QStringList& args, const QString& key = QString()) const {
        QProcess process;
        start(process, args, key);
        return finish(process);
    }
    // Starts a run, and kills it once `server` has had `results` more requests for results.
    void killWhenResultsAsked(const QStringList& args, const ScriptedServer& server,
                              int results) const {
        const int before = resultRequests(server);
        QProcess process;
        start(process, args, "k");
        QTRY_COMPARE_WITH_TIMEOUT(resultRequests(server) - before, results, 20000);
        process.kill();
        finish(process);
    }
    // Photos in the input folder: the names given, or p0.png, p1.png... for a count.
    bool photos(const QStringList& names) const {
        return std::all_of(names.begin(), names.end(),
                           [this](const QString& n) { return !writeImage(input(n)).isEmpty(); });
    }
    bool photos(int count) const {
        return !writeImages(input(), count, "p%d.png").contains(QString());
    }
    // The options of a run of the whole input folder against `server`, into the output folder.
    QStringList batch(const ScriptedServer& server, const QStringList& options = {}) const {
        return QStringList{"--service-url", server.baseUrl().toString()} + options +
               QStringList{"-o", output(), input()};
    }

    QTemporaryDir dir;
};

// A service on a port where nothing listens.
QString closedServiceUrl() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1/api/v1/").arg(port);
}

// One launch of the window's logic on a journal (and its ledger of paid results), with the
// photos `in` queued and 50 credits known.
struct Launch {
    TestContext t;
    ServiceSession session;
    BatchSession batch{t.context, session};
    Launch(const Constant& service, const QString& journal, const QStringList& in) : t(service) {
        batch.keepJournal(journal);
        t.credits.setBalances(50, 0, 0);
        batch.queue().resetList();
        batch.queue().admitPaths(in, true);
        QCoreApplication::processEvents();
    }
    // Starts the run, and waits until it is no longer busy.
    bool run(const RunConfig& config) {
        batch.run().start(config);
        QDeadlineTimer patience(20000);
        while (batch.run().isBusy() && !patience.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return !batch.run().isBusy();
    }
    // The rows' distinct states, the first part of their texts.
    QString rows() {
        QStringList out;
        for (int i = 0; i < batch.queue().count(); ++i)
            out.append(batch.queue().at(i)->statusText.section(QChar(0xb7), 0, 0).trimmed());
        out.removeDuplicates();
        return out.join('|');
    }
};
// The window's options for a run into `folder`.
RunConfig windowConfig(const QString& folder, int imagesAtATime = 3) {
    RunConfig config;
    config.apiKey = QStringLiteral("k");
    config.outputFolder = folder;
    config.imagesAtATime = imagesAtATime;
    return config;
}

}  // namespace

class CliTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(m_thread.start());
#ifdef VORPANE_SERVER_PATH
        QVERIFY(m_service.start(QStringLiteral(VORPANE_SERVER_PATH)));
#endif
    }

    // Each exit status for real on the scripted service, and where the key comes from. Uploads of
    // images named "bad*" are refused; `upload` says how every other one is answered.
    void exitStatus_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("envKey");     // null: VORPANE_API_KEY not set
        QTest::addColumn<QString>("storedKey");  // in the user's settings
        QTest::addColumn<QString>("upload");     // accept, html404, 402
        QTest::addColumn<QByteArray>("credit");  // the credit check's body
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("sentKey");  // the API-KEY every upload carries
        QTest::addColumn<QString>("said");     // a part of standard error
        const QByteArray ok = balancesJson(10);
        const QByteArray invalid = R"({"message":"invalid api key"})";
        const QStringList none;
        // clang-format off
        QTest::newRow("all done, key from the environment")
            << QStringList{"--format", "jpg"} << "env-key" << "stored-key" << "accept" << ok << 0 << "env-key" << "done: 2 done, 0 failed";
        QTest::newRow("key from a file")
            << QStringList{"--api-key-file", "@keyfile"} << QString() << "stored-key" << "accept" << ok << 0 << "file-key" << "done: 2 done";
        QTest::newRow("stored key") << none << QString() << "stored-key" << "accept" << ok << 0 << "stored-key" << "done: 2 done";
        QTest::newRow("one failed") << QStringList{"@bad"} << "k" << "" << "accept" << ok << 1 << "k" << "incomplete: 2 done, 1 failed";
        QTest::newRow("same file twice") << QStringList{"@dup"} << "k" << "" << "accept" << ok << 0 << "k" << "Already in the list: b.jpg.";
        QTest::newRow("unknown option") << QStringList{"--api-key", "k"} << "k" << "" << "accept" << ok << 2 << "" << "Unknown option 'api-key'";
        QTest::newRow("unsafe service url")
            << QStringList{"--service-url", "http://example.com/api/v1/"} << "k" << "" << "accept" << ok << 2 << "" << "plain http is only allowed";
        QTest::newRow("no key") << none << QString() << "" << "accept" << ok << 2 << "" << "no API key";
        // Root writes through permissions: this folder is one nobody may create in.
        QTest::newRow("read-only output folder") << QStringList{"--output", "/proc/self"} << "k" << "" << "accept" << ok << 2 << "" << "The output folder is read-only: /proc/self\n  ";
        QTest::newRow("halted") << none << "k" << "" << "html404" << ok << 3 << "k" << "done \u2014 run the same command with --skip-existing to send the rest.";
        QTest::newRow("out of credit") << none << "k" << "" << "402" << ok << 4 << "k" << "Credit alert!";
        QTest::newRow("key refused") << none << "bad-key" << "bad-key" << "accept" << invalid << 5 << "" << "Invalid API Key";
        // clang-format on
    }
    void exitStatus() {
        QFETCH(QStringList, args);
        QFETCH(QString, envKey);
        QFETCH(QString, storedKey);
        QFETCH(QString, upload);
        QFETCH(QByteArray, credit);
        QFETCH(int, exitCode);
        QFETCH(QString, sentKey);
        QFETCH(QString, said);
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        scriptService(server, credit, upload);
        const int before = server.requestCount();
        QVERIFY(box.photos({"a.png", "b.jpg"}));
        QJsonObject settings{{"images_at_a_time", 2}};
        if (!storedKey.isEmpty()) settings.insert("api_key", storedKey);
        box.storeSettings(settings);
        for (QString& arg : args) {
            if (arg == "@keyfile") {
                arg = box.dir.filePath("key.txt");
                QVERIFY(writeFile(arg, "  file-key\n"));
            } else if (arg == "@dup") {
                arg = box.input("b.jpg");
            } else if (arg == "@bad") {
                arg = box.input("bad.png");
                QVERIFY(!writeImage(arg).isEmpty());
            }
        }
        if (!args.contains("--service-url")) args << "--service-url" << server.baseUrl().toString();
        if (!args.contains("--output")) args << "--output" << box.output();
        args << box.input("a.png") << box.input("b.jpg");

        const Outcome o = box.run(args, envKey);
        QVERIFY2(o.code == exitCode && !o.crashed, qPrintable(o.describe()));
        QVERIFY2(o.err.contains(said.toUtf8()), qPrintable(o.describe()));

        const QList<RecordedRequest> requests = server.requests().mid(before);
        QStringList keys;
        for (const RecordedRequest& r : requests)
            if (r.path == kUploadPath) keys.append(QString::fromUtf8(r.header("API-KEY")));
        QCOMPARE(keys.isEmpty(), sentKey.isEmpty());
        for (const QString& key : keys) QCOMPARE(key, sentKey);
        if (exitCode == 0) {
            QCOMPARE(o.out.trimmed().split('\n').size(), 2);  // the two saved files
            QVERIFY(QFile::exists(box.output("vorpane_output_a.png")));
            if (args.contains("jpg")) {
                const auto upload =
                    std::find_if(requests.begin(), requests.end(),
                                 [](const RecordedRequest& r) { return r.path == kUploadPath; });
                QCOMPARE(upload->part("format")->body, QByteArray("jpg"));
                QCOMPARE(upload->part("bg_color_code")->body, QByteArray("#FFFFFF"));  // white
            }
        }
        // The user's settings are only read: neither another key nor the run's choices are
        // stored, and a refused key from the environment leaves the stored one alone.
        QFile stored(box.settingsFile());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QJsonObject after = QJsonDocument::fromJson(stored.readAll()).object();
        QCOMPARE(after.value("api_key").toString(), storedKey);
        QVERIFY(!after.contains("output_folder"));
        QVERIFY(QDir(box.runtime()).isEmpty());  // the run's private settings are gone
    }

    // Ctrl+C with images in flight: they finish and are saved, nothing else is sent, and the
    // summary says so; a second Ctrl+C ends the program at once without leaving a file behind.
    void interrupt_data() {
        QTest::addColumn<int>("interrupts");
        QTest::newRow("once: stop") << 1;
        QTest::newRow("twice: quit") << 2;
    }
    void interrupt() {
        QFETCH(int, interrupts);
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        scriptService(server, balancesJson(10), "accept", 1500);
        const int before = server.requestCount(kUploadPath);
        QVERIFY(box.photos(6));
        QProcess process;
        box.start(process, box.batch(server, {"--jobs", "3", "--json"}), "k");
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(kUploadPath) - before, 3, 20000);
        for (int i = 0; i < interrupts; ++i) {
            ::kill(static_cast<pid_t>(process.processId()), SIGINT);
            QTest::qWait(100);
        }
        const Outcome o = Sandbox::finish(process, 20000);
        QCOMPARE(server.requestCount(kUploadPath) - before, 3);
        const QStringList saved = QDir(box.output()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(QDir(box.runtime()).isEmpty());
        if (interrupts == 2) {
            QVERIFY2(o.crashed, qPrintable(o.describe()));
            QCOMPARE(saved, QStringList());  // nothing had arrived, nothing half-written
            return;
        }
        QVERIFY2(o.code == 130 && !o.crashed, qPrintable(o.describe()));
        QCOMPARE(saved, (QStringList{"vorpane_output_p0.png", "vorpane_output_p1.png",
                                     "vorpane_output_p2.png"}));
        const QList<QJsonObject> lines = o.jsonLines();
        QCOMPARE(lines.size(), 7);
        QStringList statuses;
        for (int i = 0; i < 6; ++i) statuses.append(lines[i]["status"].toString());
        statuses.sort();
        QCOMPARE(statuses,
                 (QStringList{"done", "done", "done", "not sent", "not sent", "not sent"}));
        QCOMPARE(lines.last()["summary"].toString(), QString("stopped"));
        QCOMPARE(lines.last()["not_sent"].toInt(), 3);
    }

    // A command killed while its paid results were on their way: the next run fetches them
    // instead of paying again, as long as it asks for the same thing; a result the service no
    // longer has fails its row, and the run after that sends the image again.
    void killedRunDoesNotPayTwice_data() {
        QTest::addColumn<QStringList>("again");  // options of the next run
        QTest::addColumn<int>("resultStatus");   // the service's answer to the results then
        QTest::addColumn<int>("uploads");        // by the next run
        QTest::addColumn<int>("exitCode");
        QTest::newRow("the same command") << QStringList() << 200 << 0 << 0;
        QTest::newRow("another format") << QStringList{"--format", "jpg"} << 200 << 3 << 0;
        QTest::newRow("results gone") << QStringList() << 404 << 0 << 1;
    }
    void killedRunDoesNotPayTwice() {
        QFETCH(QStringList, again);
        QFETCH(int, resultStatus);
        QFETCH(int, uploads);
        QFETCH(int, exitCode);
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        auto status = std::make_shared<std::atomic<int>>(0);  // 0: results never answered
        server.setHandler([handler = service(server, balancesJson(10), "accept"),
                           status](const RecordedRequest& r) {
            if (!r.path.startsWith("/results/") || *status == 200) return handler(r);
            return *status == 0 ? ScriptedReply::hold() : ScriptedReply::json(*status, "{}");
        });
        QVERIFY(box.photos(3));
        const QStringList common = box.batch(server, {"--jobs", "3"});
        const int before = server.requestCount(kUploadPath);
        box.killWhenResultsAsked(common, server, 3);

        *status = resultStatus;
        Outcome o = box.run(again + common, "k");
        QVERIFY2(o.code == exitCode, qPrintable(o.describe()));
        QCOMPARE(server.requestCount(kUploadPath) - before, 3 + uploads);
        QCOMPARE(QDir(box.output()).entryList(QDir::Files).size(), exitCode == 0 ? 3 : 0);
        if (resultStatus == 404) {
            QVERIFY2(o.err.contains("no longer has the result"), qPrintable(o.describe()));
            *status = 200;
            o = box.run(common, "k");
            QVERIFY2(o.code == 0, qPrintable(o.describe()));
            QCOMPARE(server.requestCount(kUploadPath) - before, 6);
        }
    }

    // One ledger of paid results for the window and the command line: what one paid for and
    // did not save (its downloads held, then the program gone), the other fetches without
    // sending the image again.
    void paidResultsCrossFrontEnds_data() {
        QTest::addColumn<bool>("windowFirst");
        QTest::newRow("paid in the window, fetched by the command") << true;
        QTest::newRow("paid by the command, fetched in the window") << false;
    }
    void paidResultsCrossFrontEnds() {
        QFETCH(bool, windowFirst);
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        auto hold = std::make_shared<std::atomic<bool>>(true);
        server.setHandler([handler = service(server, balancesJson(10), "accept"),
                           hold](const RecordedRequest& r) {
            if (r.path.startsWith("/results/") && *hold) return ScriptedReply::hold();
            return handler(r);
        });
        QVERIFY(box.photos(2));
        const QStringList args = box.batch(server);
        const int before = server.requestCount(kUploadPath);
        const int resultsBefore = resultRequests(server);
        // The window's logic on the same ledger, with the folder and options the command uses;
        // it ends when the batch is done, or (a kill, as far as the ledger goes) once both
        // results are on their way.
        auto window = [&](bool untilDone) {
            Launch launch(*Constant::fromServiceUrl(server.baseUrl().toString()), box.ledgerFile(),
                          {box.input("p0.png"), box.input("p1.png")});
            if (untilDone) {
                QVERIFY(launch.run(windowConfig(box.output())));
                return;
            }
            launch.batch.run().start(windowConfig(box.output()));
            QTRY_COMPARE_WITH_TIMEOUT(resultRequests(server) - resultsBefore, 2, 10000);
        };
        QDir().mkpath(box.output());
        if (windowFirst) {
            window(false);
            QCOMPARE(server.requestCount(kUploadPath) - before, 2);
            *hold = false;
            const Outcome o = box.run(args, "k");
            QVERIFY2(o.code == 0, qPrintable(o.describe()));
            QVERIFY2(o.err.contains("2 results paid for by an earlier run"),
                     qPrintable(o.describe()));
        } else {
            box.killWhenResultsAsked(args, server, 2);
            *hold = false;
            window(true);
        }
        QCOMPARE(server.requestCount(kUploadPath) - before, 2);  // each paid once
        QCOMPARE(QDir(box.output()).entryList(QDir::Files),
                 (QStringList{"vorpane_output_p0.png", "vorpane_output_p1.png"}));
    }

    // The window's logic on a journal that stops taking writes mid-run: nothing more is sent,
    // what was paid is saved, the alert names the journal, and what it could not take is not
    // paid for again by the next launch. A later launch on the same photos and folder sends nothing
    // ("Already saved") until "Process again", other options or a deleted result.
    void journalRefusesThenLaterLaunches() {
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        scriptService(server, balancesJson(50), "opaque", 100);
        const QStringList photos = writeImages(box.input(), 8, "p%d.png");
        QDir().mkpath(box.output());
        const RunConfig config = windowConfig(box.output(), 2);
        const int before = server.requestCount(kUploadPath);
        auto sent = [&] { return server.requestCount(kUploadPath) - before; };
        auto saved = [&] { return int(QDir(box.output()).entryList(QDir::Files).size()); };
        const Constant service = *Constant::fromServiceUrl(server.baseUrl().toString());
        {
            Launch first(service, box.ledgerFile(), photos);
            connect(&first.batch.queue(), &ImageQueue::resultKnown, this, [&first](int row) {
                if (row == 2) first.batch.ledger()->refuseWrites(true);
            });
            QVERIFY(first.run(config));
            QCOMPARE(first.batch.run().runState(), RunState::Halted);
            QVERIFY2(sent() < 8 && sent() == saved(), qPrintable(QString::number(sent())));
            const RecordingAlerts::Entry& alert = first.t.alerts.entries.last();
            QVERIFY2(alert.detail.startsWith("The batch journal cannot be written: attempt to "
                                             "write a readonly database. Nothing more is sent "
                                             "until it can.") &&
                         alert.detail.contains(box.ledgerFile()),
                     qPrintable(alert.detail));
            // The program ended here (killed, or a command that halted), its memory gone: the
            // next launch, on a journal that takes writes, pays for nothing twice.
            Launch next(service, box.ledgerFile(), photos);
            QVERIFY(next.run(config));
            QCOMPARE(next.batch.run().runState(), RunState::Finished);
            QCOMPARE(sent(), 8);
            QCOMPARE(saved(), 8);
        }
        Launch later(service, box.ledgerFile(), photos);
        QCOMPARE(later.batch.run().markAlreadySaved(config), 8);
        QCOMPARE(later.rows(), "Already saved");
        later.batch.run().sendAgain(later.batch.queue().at(3));
        QVERIFY(QFile::remove(box.output("vorpane_output_p5.png")));
        QVERIFY(later.run(config));
        QCOMPARE(sent(), 10);  // the one processed again and the deleted one
        QCOMPARE(saved(), 8);
        RunConfig colored = config;
        colored.isColored = true;
        colored.selectedColor = QStringLiteral("#00FF00");
        Launch recolored(service, box.ledgerFile(), photos);
        QCOMPARE(recolored.batch.run().markAlreadySaved(colored), 0);
        QVERIFY(recolored.run(colored));
        QCOMPARE(sent(), 18);
    }

    // Two commands started together on one folder pay for each photo once (the second skips
    // what the first is sending); a ledger that cannot be read stops the command before anything
    // is sent, with a message that names it.
    void ledgerSharedOrBroken() {
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        scriptService(server, balancesJson(10), "accept", 300);
        QVERIFY(box.photos(6));
        const int before = server.requestCount(kUploadPath);
        QProcess first, second;
        for (QProcess* process : {&first, &second})
            box.start(*process, box.batch(server, {"-j", "2"}), "k");
        for (QProcess* process : {&first, &second}) {
            const Outcome o = Sandbox::finish(*process);
            QVERIFY2(o.code == 0, qPrintable(o.describe()));
        }
        QCOMPARE(server.requestCount(kUploadPath) - before, 6);
        QCOMPARE(QDir(box.output()).entryList(QDir::Files).size(), 6);

        QVERIFY(writeFile(box.ledgerFile(), QByteArray(8192, 'x')));
        for (const char* suffix : {"-wal", "-shm"}) QFile::remove(box.ledgerFile() + suffix);
        const Outcome o = box.run(
            {"--service-url", server.baseUrl().toString(), "-o", box.output("c"), box.input()},
            "k");
        QVERIFY2(o.code == 3 && o.err.contains(box.ledgerFile().toUtf8()) &&
                     o.err.contains("Nothing was sent"),
                 qPrintable(o.describe()));
        QCOMPARE(server.requestCount(kUploadPath) - before, 6);
    }

    // A service over HTTPS: a certificate that cannot be trusted halts the command at once (one
    // handshake, nothing sent) with its cause and host; a certificate authority of its own from
    // --ca-file or the window's setting makes the batch run; a file that is no authority is named.
    void certificates_data() {
        QTest::addColumn<QString>("leaf");    // the server's certificate
        QTest::addColumn<QString>("option");  // --ca-file: "ca", "notpem", "missing"
        QTest::addColumn<QString>("stored");  // the window's setting
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        const QString issuer =
            "The service's certificate could not be trusted (127.0.0.1: the "
            "issuer is unknown). Nothing was sent.";
        // clang-format off
        QTest::newRow("unknown issuer") << "good" << "" << "" << 3 << issuer;
        QTest::newRow("another name") << "wrong" << "ca" << "" << 3 << "(127.0.0.1: the certificate is for another name)";
        QTest::newRow("expired") << "expired" << "ca" << "" << 3 << "(127.0.0.1: the certificate has expired)";
        QTest::newRow("--ca-file") << "good" << "ca" << "" << 0 << "done: 2 done";
        QTest::newRow("the window's setting") << "good" << "" << "ca" << 0 << "done: 2 done";
        QTest::newRow("not PEM") << "good" << "notpem" << "" << 2 << "notpem holds no PEM certificate";
        QTest::newRow("missing") << "good" << "missing" << "ca" << 2 << "missing cannot be read: No such file";
        // clang-format on
    }
    void certificates() {
        QFETCH(QString, leaf);
        QFETCH(QString, option);
        QFETCH(QString, stored);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        if (!m_certificates) {
            m_certificates = std::make_unique<TestCertificates>();
            QVERIFY(m_certificates->make());
        }
        const auto file = [this](const QString& name) {
            return name == "ca" ? m_certificates->ca() : m_certificates->path(name);
        };
        Sandbox box;
        QVERIFY(writeFile(m_certificates->path("notpem"), "-----BEGIN CERTIFICATE-----\nno\n"));
        ScriptedServerThread thread;
        ScriptedServer& server = *thread.server();
        server.setTls(m_certificates->server(leaf));
        QVERIFY(thread.start());
        scriptService(server, balancesJson(10), "accept");
        QVERIFY(box.photos({"a.png", "b.png"}));
        box.storeSettings(stored.isEmpty() ? QJsonObject{}
                                           : QJsonObject{{"ca_file", file(stored)}});
        QStringList args = box.batch(server);
        if (!option.isEmpty()) args << "--ca-file" << file(option);

        const Outcome o = box.run(args, "k");
        QVERIFY2(o.code == exitCode && o.err.contains(said.toUtf8()), qPrintable(o.describe()));
        QCOMPARE(server.requestCount(kUploadPath), exitCode == 0 ? 2 : 0);
        if (exitCode == 3) {
            QCOMPARE(server.handshakeCount(), 1);
            QCOMPARE(server.requestCount(), 0);
        }
    }

    // Against a service with opaque result names, results are named after their photos and
    // --skip-existing asks the ledger: nothing is sent again until a result is deleted or the
    // options change; --name-from service keeps the service's names.
    void skipExistingWithOpaqueNames() {
        Sandbox box;
        ScriptedServer& server = *m_thread.server();
        scriptService(server, balancesJson(50), "opaque");
        QVERIFY(box.photos({"alpha.png", "holiday beach.png", "c.png"}));
        const QStringList run = box.batch(server, {"--json"});
        const QStringList saved{"vorpane_output_alpha.png", "vorpane_output_c.png",
                                "vorpane_output_holiday beach.png"};
        const struct {
            QStringList args;
            int sent;
            QString removed;  // a saved result deleted before the run
        } steps[] = {
            {{}, 3, {}},
            {{"--skip-existing"}, 0, {}},
            {{"--skip-existing"}, 1, "vorpane_output_c.png"},
            {{"--skip-existing", "--dry-run"}, 0, {}},
            {{"--skip-existing", "--color", "#FF0000"}, 3, {}},
        };
        for (const auto& step : steps) {
            if (!step.removed.isEmpty()) QVERIFY(QFile::remove(box.output(step.removed)));
            const int before = server.requestCount(kUploadPath);
            const Outcome o = box.run(step.args + run, "k");
            QVERIFY2(o.code == 0, qPrintable(o.describe()));
            QCOMPARE(server.requestCount(kUploadPath) - before, step.sent);
            QCOMPARE(QDir(box.output()).entryList(QDir::Files), saved);
        }
        const Outcome o = box.run(QStringList{"--name-from", "service"} + run.mid(0, 4) +
                                      QStringList{box.output("by-service"), box.input("c.png")},
                                  "k");
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        const QStringList named = QDir(box.output("by-service")).entryList(QDir::Files);
        QVERIFY2(named.size() == 1 && named[0].size() == QString("vorpane_output_.png").size() + 32,
                 qPrintable(named.join(',')));
    }

#ifdef VORPANE_SERVER_PATH
    // Against the real service: a tree mirrored two levels deep with every image named in the
    // JSON lines, then a re-run that skips every image and a dry run, neither paying anything.
    void mirroredTreeIsPaidOnce() {
        Sandbox box;
        const QMap<QString, QSize> images{
            {"a.png", {90, 60}}, {"sub/b.jpg", {80, 64}}, {"sub/deeper/c d.png", {72, 48}}};
        for (auto it = images.begin(); it != images.end(); ++it)
            QVERIFY(!writeImage(box.input(it.key()), it.value().width(), it.value().height())
                         .isEmpty());
        QVERIFY(writeFile(box.input("notes.txt"), {}));
        const QStringList common{"--service-url", m_service.baseUrl(), "-r", "--json", "-o",
                                 box.output(),    box.input()};
        const QString key = m_service.demoKey();

        Outcome o = box.run(QStringList{"--dry-run"} + common, key);
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        const qint64 credits = o.jsonLines().last()["credits_left"].toInteger();
        QVERIFY2(o.jsonLines().last()["images"] == 3 && credits >= 3, qPrintable(o.describe()));
        QVERIFY(o.err.contains("1 file(s) in " + box.input().chopped(1).toUtf8() + " left out"));

        o = box.run(common, key);
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        QList<QJsonObject> lines = o.jsonLines();
        QCOMPARE(lines.size(), 4);
        for (auto it = images.begin(); it != images.end(); ++it) {
            const auto line = std::find_if(lines.begin(), lines.end(), [&](const QJsonObject& l) {
                return l["source"].toString() == box.input(it.key());
            });
            QVERIFY2(line != lines.end(), qPrintable(it.key()));
            const QFileInfo source(it.key());
            const QString stem = source.completeBaseName();
            const QString expected = box.output(source.path() + "/vorpane_output_" + stem + ".png");
            QCOMPARE((*line)["status"].toString(), QString("done"));
            QCOMPARE(QDir::cleanPath((*line)["output"].toString()), QDir::cleanPath(expected));
            QCOMPARE(QImage(expected).size(), it.value());
            QCOMPARE(QSize((*line)["width"].toInt(), (*line)["height"].toInt()), it.value());
        }
        QCOMPARE(lines.last()["credits_left"].toInteger(), credits - 3);

        o = box.run(QStringList{"--skip-existing"} + common, key);
        QVERIFY2(o.code == 0, qPrintable(o.describe()));
        lines = o.jsonLines();
        QCOMPARE(lines.size(), 4);
        for (int i = 0; i < 3; ++i) QCOMPARE(lines[i]["status"].toString(), QString("skipped"));
        o = box.run(QStringList{"--skip-existing", "--dry-run", "--service-url",
                                m_service.baseUrl(), "-r", "-o", box.output(), box.input()},
                    key);
        QVERIFY2(o.out.endsWith(QString("0 images, %1 credits left\n").arg(credits - 3).toUtf8()),
                 qPrintable(o.describe()));
    }

    // The statuses a real service (or its absence) produces.
    void realServiceStatus_data() {
        QTest::addColumn<QString>("key");  // "demo", "empty" (no credit), or a key it never made
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("unreachable") << "demo" << false << 3;
        QTest::newRow("out of credit") << "empty" << true << 4;
        QTest::newRow("key refused") << "0123456789abcdef0123456789abcdef" << true << 5;
    }
    void realServiceStatus() {
        QFETCH(QString, key);
        QFETCH(bool, reachable);
        QFETCH(int, exitCode);
        Sandbox box;
        if (key == "demo") key = m_service.demoKey();
        if (key == "empty") {
            QProcess create;
            create.start(VORPANE_SERVER_PATH,
                         {"key", "create", "--free", "0", "--db", m_service.databasePath()});
            QVERIFY(create.waitForFinished(10000));
            key = QString::fromUtf8(create.readAllStandardOutput()).trimmed();
        }
        QVERIFY(!writeImage(box.input("a.jpg")).isEmpty());
        const QString url = reachable ? m_service.baseUrl() : closedServiceUrl();
        const Outcome o =
            box.run({"--service-url", url, "-o", box.output(), box.input("a.jpg")}, key);
        QVERIFY2(o.code == exitCode, qPrintable(o.describe()));
        QCOMPARE(QFile::exists(box.output("vorpane_output_a.png")), exitCode == 0);
        // The cause and the address, after the retries of the run's first exchange.
        if (!reachable)
            QVERIFY2(o.err.count("could not be reached (connection refused)") == 4 &&
                         o.err.contains(url.toUtf8()) && o.err.contains("Trying again in 4 s"),
                     qPrintable(o.describe()));
    }
#endif

private:
    ScriptedServerThread m_thread;
    std::unique_ptr<TestCertificates> m_certificates;
#ifdef VORPANE_SERVER_PATH
    LocalService m_service;
#endif
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
