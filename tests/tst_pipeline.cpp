#include "BatchRun.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "ImageUpload.h"
#include "LowDelaySockets.h"
#include "OutputOptions.h"
#include "ResultDownload.h"
#include "ResultSaver.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <sys/resource.h>
#include <unistd.h>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {

const QByteArray kUploadPath = "/api/v1/remove_image_background";
const QByteArray kVersionPath = "/api/v1/get_app_version";
const QString kKey = QStringLiteral("key-123");

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray pngBytes(int w = 40, int h = 30) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(QColor(20, 120, 200, 128));
    return encoded(image, "PNG");
}

QByteArray jpegBytes(int w = 32, int h = 24) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::red);
    return encoded(image, "JPEG");
}

// A queued image, the scripted service behind it, and the run under test.
class Rig {
public:
    explicit Rig(bool creditsAnswered = true) {
        QVERIFY(server.start());
        const auto service = Constant::fromServiceUrl(server.baseUrl().toString());
        QVERIFY(service.has_value());
        t = std::make_unique<TestContext>(*service);
        session.setTimeouts(3000, 10000);
        queue = std::make_unique<ImageQueue>(t->context, window);
        credits = std::make_unique<CreditService>(t->context, session);
        version = std::make_unique<VersionCheck>(t->context, session);
        version->setOpenDelayMs(0);
        run = std::make_unique<BatchRun>(t->context, session, *queue, window, *credits, *version,
                                         options);
        t->settings.setString(UserDefaultKeys::apiKey, kKey);
        t->settings.setString(UserDefaultKeys::outputFolder, outputs.path());
        if (creditsAnswered) t->credits.setBalances(10, 0, 0);
        resultBytes = pngBytes();
        server.setHandler([this](const RecordedRequest& r) { return answer(r); });
    }

    ScriptedReply answer(const RecordedRequest& r) {
        if (r.path == kVersionPath)
            return versionReplies.size() > 1 ? versionReplies.takeFirst() : versionReplies.first();
        if (r.path == kUploadPath) {
            ++uploads;
            if (onUpload) return onUpload(r);
            return accepted(r);
        }
        if (results.contains(r.path)) return results.value(r.path);
        if (r.path.startsWith("/results/"))
            return ScriptedReply::bytes(200, "image/png", resultBytes);
        return ScriptedReply::json(404, R"({"error":"nothing here"})");
    }

    // The service's answer to an accepted image: its result under /results/, and the balances.
    ScriptedReply accepted(const RecordedRequest& r, const QString& url = QString()) {
        const RecordedPart* file = r.part("source_image_file");
        const QString stem = QFileInfo(QString::fromUtf8(file ? file->fileName : "x")).baseName();
        QJsonObject reply{
            {"output_image_url",
             url.isNull() ? server.url(QStringLiteral("/results/%1.png").arg(stem)).toString()
                          : url},
            {"ff_credit", 10 - uploads},
            {"tp_credit", 0},
            {"sp_credit", 1},
        };
        return ScriptedReply::json(200, QJsonDocument(reply).toJson(QJsonDocument::Compact));
    }

    QString addImage(const QString& name, const QByteArray& bytes = pngBytes(8, 8)) {
        const QString path = inputs.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) return QString();
        f.write(bytes);
        f.close();
        queue->admitPaths({path}, true);
        return path;
    }
    QString addSparse(const QString& name, qint64 size) {
        const QString path = inputs.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(size)) return QString();
        f.close();
        queue->admitPaths({path}, true);
        return path;
    }

    const WindowState::Controls& controls() const { return window.controls(); }
    DataModelPtr row(int i) const { return queue->at(i); }
    QList<RecordedRequest> requestsTo(const QByteArray& path) const {
        QList<RecordedRequest> out;
        for (const RecordedRequest& r : server.requests())
            if (r.path == path) out.append(r);
        return out;
    }
    QStringList uploadedNames() const {
        QStringList out;
        for (const RecordedRequest& r : requestsTo(kUploadPath)) {
            const RecordedPart* p = r.part("source_image_file");
            out.append(p ? QString::fromUtf8(p->fileName) : QString());
        }
        return out;
    }
    QStringList outputFiles() const {
        return QDir(outputs.path()).entryList(QDir::Files | QDir::Hidden);
    }
    // START and wait until the run leaves the states in which it is busy.
    bool startAndSettle(int timeoutMs = 8000) {
        run->startUpload();
        return settle(timeoutMs);
    }
    bool settle(int timeoutMs = 8000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            const RunState s = run->runState();
            if (s != RunState::Checking && s != RunState::Running && s != RunState::Stopping) {
                QCoreApplication::processEvents();  // posted display refreshes
                return true;
            }
        }
        return false;
    }

    ScriptedServer server;
    std::unique_ptr<TestContext> t;
    ServiceSession session;
    WindowState window;
    std::unique_ptr<ImageQueue> queue;
    OutputOptions options;
    std::unique_ptr<CreditService> credits;
    std::unique_ptr<VersionCheck> version;
    std::unique_ptr<BatchRun> run;
    QTemporaryDir inputs;
    QTemporaryDir outputs;

    QList<ScriptedReply> versionReplies{ScriptedReply::json(200, "{}")};
    std::function<ScriptedReply(const RecordedRequest&)> onUpload;
    QHash<QByteArray, ScriptedReply> results;
    QByteArray resultBytes;
    int uploads = 0;
};

// Makes every file write beyond `bytes` fail (also for root) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool active() const { return m_active; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_active = false;
};

}  // namespace

class PipelineTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // --- One image, end to end: the request on the wire, the saved result, the row. ---

    void imageIsSentAndItsResultSaved_data() {
        QTest::addColumn<bool>("colored");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("sniffed");
        QTest::newRow("png, transparent") << false << pngBytes(8, 8) << QByteArray("image/png");
        QTest::newRow("jpeg named .png, coloured")
            << true << jpegBytes() << QByteArray("image/jpeg");
        QTest::newRow("not an image")
            << false << QByteArray("GIF89a....") << QByteArray("application/octet-stream");
    }
    void imageIsSentAndItsResultSaved() {
        QFETCH(bool, colored);
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, sniffed);
        Rig rig;
        rig.options.imgFormat = QStringLiteral("jpg");
        rig.options.isColored = colored;
        rig.options.selectedColor = QStringLiteral("#12AB34");
        const QString path = rig.addImage(QStringLiteral("photo.png"), source);
        QVERIFY(rig.startAndSettle());

        const QList<RecordedRequest> uploads = rig.requestsTo(kUploadPath);
        QCOMPARE(uploads.size(), 1);
        const RecordedRequest& up = uploads.first();
        QCOMPARE(up.method, QByteArray("POST"));
        QCOMPARE(up.header("API-KEY"), kKey.toUtf8());
        QVERIFY(up.header("Content-Type").startsWith("multipart/form-data; boundary="));
        QVERIFY(up.multipartValid);
        QByteArrayList names;
        for (const RecordedPart& p : up.parts) names.append(p.name);
        QByteArrayList expected{"source_image_file", "frequenteraug", "credit_info", "format"};
        if (colored) expected.append("bg_color_code");
        QCOMPARE(names, expected);
        QCOMPARE(up.parts[0].fileName, QByteArray("photo.png"));
        QCOMPARE(up.parts[0].contentType, sniffed);
        QCOMPARE(up.parts[0].body, source);
        QCOMPARE(up.parts[1].body, QByteArray("mac"));
        QCOMPARE(up.parts[2].body, QByteArray("show"));
        QCOMPARE(up.parts[3].body, QByteArray("jpg"));
        if (colored) QCOMPARE(up.parts[4].body, QByteArray("#12AB34"));

        // The result is fetched with a plain GET that carries nothing of the user's.
        const QList<RecordedRequest> gets = rig.requestsTo("/results/photo.png");
        QCOMPARE(gets.size(), 1);
        QCOMPARE(gets.first().method, QByteArray("GET"));
        QVERIFY(!gets.first().hasHeader("API-KEY"));
        QVERIFY(!gets.first().hasHeader("Cookie"));

        // Saved unchanged, recorded, and shown.
        const QString out =
            QDir(rig.outputs.path()).filePath(QStringLiteral("vorpane_output_photo.png"));
        QFile saved(out);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), rig.resultBytes);
        QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_photo.png")});
        QCOMPARE(rig.queue->arrUploadImages,
                 std::optional<QList<QUrl>>(QList<QUrl>{QUrl::fromLocalFile(out)}));
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
        QCOMPARE(rig.row(0)->statusText, QStringLiteral(" 40x30"));
        QCOMPARE(rig.row(0)->outputFile, out);
        QCOMPARE(rig.queue->counter, qint64(1));

        // The source file is never written to.
        QFile src(path);
        QVERIFY(src.open(QIODevice::ReadOnly));
        QCOMPARE(src.readAll(), source);

        // The balances of the reply replace the credit record and reach the display.
        QCOMPARE(rig.t->credits.snapshot().ff_credit, std::optional<QString>(QStringLiteral("9")));
        QTRY_VERIFY(rig.credits->displayText().contains(QStringLiteral("Total credits: 10")));

        // Finished: START disabled with its title back, the list unlocked.
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 1 of 1"));
        QVERIFY(!rig.controls().btnStartEnabled);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("START"));
        QVERIFY(rig.controls().dragViewVisible);
        QVERIFY(rig.controls().btnAddEnabled);
        QVERIFY(rig.controls().btnClearListEnabled);
    }

    void listIsLockedAndRowInProgressWhileSending() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.results.insert("/results/a.png",
                           ScriptedReply::bytes(200, "image/png", rig.resultBytes).withDelay(300));
        rig.run->startUpload();
        QTRY_COMPARE(rig.server.requestCount("/results/a.png"), 1);
        // Still downloading: the row stays in progress and cannot be deleted.
        QCOMPARE(rig.row(0)->status, RowStatus::InProgress);
        QVERIFY(!rig.queue->deleteImage(0));
        QVERIFY(!rig.controls().dragViewVisible);
        QVERIFY(!rig.controls().btnAddEnabled);
        QVERIFY(!rig.controls().btnClearListEnabled);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("STOP"));
        QVERIFY(rig.controls().btnStartEnabled);
        QVERIFY(rig.run->isRunning());
        QVERIFY(rig.settle());
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
    }

    // --- Images the service refuses, or that cannot be sent. ---

    void refusedImagesFailTheirRowAndTheRunMovesOn() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addSparse(QStringLiteral("b.png"), ImageQueue::kSizeLimit);
        rig.addSparse(QStringLiteral("c.png"), ImageQueue::kSizeLimit - 1);
        const QString gone = rig.addImage(QStringLiteral("d.png"));
        rig.addImage(QStringLiteral("e.png"));
        QVERIFY(QFile::remove(gone));
        QVERIFY(rig.startAndSettle(15000));

        QCOMPARE(rig.uploadedNames(), (QStringList{"a.png", "c.png", "e.png"}));
        QCOMPARE(qint64(rig.requestsTo(kUploadPath).at(1).parts.at(0).body.size()),
                 ImageQueue::kSizeLimit - 1);
        QCOMPARE(rig.row(1)->status, RowStatus::Failed);
        QCOMPARE(rig.row(1)->statusText, QStringLiteral("Image size is larger than 12 MB"));
        QCOMPARE(rig.row(3)->status, RowStatus::Failed);
        QCOMPARE(rig.row(3)->statusText, QStringLiteral("Image could not be read"));
        QCOMPARE(rig.row(2)->status, RowStatus::Done);
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 5 of 5"));
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QVERIFY(!rig.controls().btnStartEnabled);
        QCOMPARE(int(rig.queue->arrUploadImages->size()), 3);
    }

    void serviceErrorFailsTheRowAndTheNextImageIsSent_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        QTest::newRow("400 with an error text")
            << 400 << QByteArray(R"({"error":"Image format not supported "})")
            << QStringLiteral("Image format not supported ");
        QTest::newRow("503 without an error text")
            << 503 << QByteArray(R"({"message":"busy"})")
            << QStringLiteral("The service answered with HTTP status 503");
        QTest::newRow("error that is not text")
            << 402 << QByteArray(R"({"error":17})")
            << QStringLiteral("The service answered with HTTP status 402");
    }
    void serviceErrorFailsTheRowAndTheNextImageIsSent() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("b.png"));
        rig.onUpload = [&](const RecordedRequest& r) {
            return rig.uploads == 1 ? ScriptedReply::json(status, body) : rig.accepted(r);
        };
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.row(0)->status, RowStatus::Failed);
        QCOMPARE(rig.row(0)->statusText, text);
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
        QCOMPARE(rig.uploadedNames(), (QStringList{"a.png", "b.png"}));
        QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_b.png")});
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 2"));
        QVERIFY(rig.t->alerts.entries.isEmpty());
    }

    void brokenExchangeHaltsAndTheNextRunResumesThere_data() {
        QTest::addColumn<ScriptedReply>("broken");
        QTest::newRow("not JSON") << ScriptedReply::bytes(502, "text/html",
                                                          "<html>Bad gateway</html>");
        QTest::newRow("redirect") << ScriptedReply::redirect(302, "/elsewhere");
        QTest::newRow("connection closed") << ScriptedReply::close();
    }
    void brokenExchangeHaltsAndTheNextRunResumesThere() {
        QFETCH(ScriptedReply, broken);
        Rig rig;
        for (const char* n : {"a.png", "b.png", "c.png"}) rig.addImage(QString::fromLatin1(n));
        // Every attempt at b.png breaks until the run has halted.
        bool breakB = true;
        rig.onUpload = [&](const RecordedRequest& r) {
            const RecordedPart* file = r.part("source_image_file");
            return breakB && file && file->fileName == "b.png" ? broken : rig.accepted(r);
        };
        QVERIFY(rig.startAndSettle());

        QCOMPARE(rig.run->runState(), RunState::Halted);
        QCOMPARE(rig.t->alerts.messages(),
                 QStringList{QStringLiteral("Oops! Something went wrong.")});
        QCOMPARE(rig.row(1)->status, RowStatus::FailedHalted);
        QCOMPARE(rig.row(1)->statusText, QString());
        QCOMPARE(rig.queue->counter, qint64(1));
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 1 of 3"));
        QVERIFY(!rig.controls().btnStartEnabled);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("STOP"));
        QVERIFY(rig.controls().btnClearListEnabled);
        QVERIFY(!rig.controls().dragViewVisible);
        QCOMPARE(rig.server.requestCount("/elsewhere"), 0);

        // Adding an image makes START available again; the halted image goes first.
        breakB = false;
        const qsizetype before = rig.uploadedNames().size();
        rig.addImage(QStringLiteral("d.png"));
        QTRY_COMPARE(rig.run->runState(), RunState::Ready);
        QVERIFY(rig.controls().btnStartEnabled);
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploadedNames().mid(before), (QStringList{"b.png", "c.png", "d.png"}));
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 4 of 4"));
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
    }

    // --- START, STOP and the checks before a run. ---

    void stopEndsTheRunAfterTheImageInFlight() {
        Rig rig;
        for (int i = 1; i <= 5; ++i) rig.addImage(QStringLiteral("img%1.png").arg(i));
        const auto stopper =
            QObject::connect(rig.queue.get(), &ImageQueue::rowChanged, [&](int row) {
                if (row == 1 && rig.row(1)->status == RowStatus::InProgress) rig.run->startUpload();
            });
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.run->runState(), RunState::Ready);
        QCOMPARE(int(rig.uploadedNames().size()), 2);
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
        QCOMPARE(rig.row(2)->status, RowStatus::Waiting);
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 5"));
        QVERIFY(rig.controls().btnStartEnabled);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("START"));
        QVERIFY(rig.controls().dragViewVisible);
        QVERIFY(rig.controls().btnAddEnabled);
        QVERIFY(rig.controls().btnClearListEnabled);

        QObject::disconnect(stopper);
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploadedNames(),
                 (QStringList{"img1.png", "img2.png", "img3.png", "img4.png", "img5.png"}));
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 5 of 5"));
    }

    void stopDuringTheLastImageEndsFinished() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("b.png"));
        QObject::connect(rig.queue.get(), &ImageQueue::rowChanged, rig.run.get(), [&](int row) {
            if (row == 1 && rig.row(1)->status == RowStatus::InProgress) {
                rig.run->startUpload();
                QCOMPARE(rig.run->runState(), RunState::Stopping);
                QVERIFY(!rig.controls().btnStartEnabled);
                rig.run->startUpload();  // a second STOP changes nothing
            }
        });
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QVERIFY(!rig.controls().btnStartEnabled);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("START"));
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 2"));
        // Nothing left: START does nothing, not even the version check.
        const int versionChecks = rig.server.requestCount(kVersionPath);
        rig.run->startUpload();
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QTest::qWait(50);
        QCOMPARE(rig.server.requestCount(kVersionPath), versionChecks);
    }

    void startChecksRefuseTheRun_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("message");
        QTest::newRow("no key") << "key" << QStringLiteral("API key alert!");
        QTest::newRow("no credit answered yet") << "no record" << QStringLiteral("Credit alert!");
        QTest::newRow("zero credit") << "zero" << QStringLiteral("Credit alert!");
        QTest::newRow("colour missing")
            << "colour" << QStringLiteral("Please choose a color to continue.");
    }
    void startChecksRefuseTheRun() {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        Rig rig(failing != QLatin1String("no record"));
        rig.addImage(QStringLiteral("a.png"));
        QCOMPARE(rig.t->credits.exists(), failing != QLatin1String("no record"));
        if (failing == QLatin1String("key"))
            rig.t->settings.setString(UserDefaultKeys::apiKey, QString());
        if (failing == QLatin1String("zero")) rig.t->credits.setBalances(3, -3, 0);
        if (failing == QLatin1String("colour")) rig.options.isColored = true;
        int sheetRequests = 0;
        QObject::connect(rig.run.get(), &BatchRun::settingsSheetRequested,
                         [&] { ++sheetRequests; });
        QVERIFY(rig.startAndSettle());

        QCOMPARE(rig.t->alerts.messages(), QStringList{message});
        QCOMPARE(rig.uploads, 0);
        QCOMPARE(rig.run->runState(), RunState::Ready);
        QCOMPARE(rig.controls().btnStartTitle, QStringLiteral("START"));
        QVERIFY(rig.controls().btnStartEnabled);

        const RecordingAlerts::Entry alert = rig.t->alerts.entries.first();
        if (failing == QLatin1String("colour")) {
            QVERIFY(!alert.sheet);
            return;
        }
        QVERIFY(alert.sheet);
        QVERIFY(alert.alert.critical);
        const bool keyAlert = failing == QLatin1String("key");
        QCOMPARE(alert.alert.informativeText,
                 keyAlert ? QStringLiteral("Please! Enter an api key to continue.")
                          : QStringLiteral("oops! You're out of credit."));
        QCOMPARE(alert.alert.buttons,
                 (QStringList{keyAlert ? QStringLiteral("Got it") : QStringLiteral("Recharge"),
                              QStringLiteral("Cancel")}));
        // "Cancel" does nothing; the action button opens the settings or the account page.
        auto answer = rig.t->alerts.pendingSheet;
        QVERIFY(answer);
        answer(1);
        QTest::qWait(20);
        QCOMPARE(sheetRequests, 0);
        QVERIFY(rig.t->opener.opened.isEmpty());
        answer(0);
        if (keyAlert) {
            QCOMPARE(sheetRequests, 1);
        } else {
            QTRY_COMPARE(int(rig.t->opener.opened.size()), 1);
            QCOMPARE(rig.t->opener.opened.first().path(), QStringLiteral("/account"));
        }
        QCOMPARE(rig.uploads, 0);
    }

    void updateAnnouncementsGateTheRun() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.versionReplies = {
            ScriptedReply::json(200, R"({"app_version":"2.0","update_type":"hard"})"),
            ScriptedReply::json(200, R"({"app_version":"2.0","update_type":"hard"})"),
        };
        // Required update: the alert without "Ignore", and no run.
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploads, 0);
        QCOMPARE(rig.run->runState(), RunState::Ready);
        QCOMPARE(int(rig.t->alerts.entries.size()), 1);
        QCOMPARE(rig.t->alerts.entries.first().alert.buttons,
                 QStringList{QStringLiteral("Update")});
        // The announced version is stored now: the second START runs.
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QCOMPARE(rig.uploadedNames(), QStringList{QStringLiteral("a.png")});

        // An optional update shows its alert and runs at once.
        rig.versionReplies = {
            ScriptedReply::json(200, R"({"app_version":"2.1","update_type":"soft"})")};
        rig.addImage(QStringLiteral("b.png"));
        QTRY_COMPARE(rig.run->runState(), RunState::Ready);
        QVERIFY(rig.startAndSettle());
        QCOMPARE(int(rig.t->alerts.entries.size()), 2);
        QCOMPARE(rig.t->alerts.entries.last().alert.buttons,
                 (QStringList{QStringLiteral("Update"), QStringLiteral("Ignore")}));
        QCOMPARE(rig.uploadedNames(), (QStringList{"a.png", "b.png"}));
    }

    void startWhileTheVersionCheckIsPendingIsIgnored() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.versionReplies = {ScriptedReply::json(200, "{}").withDelay(200)};
        rig.run->startUpload();
        QCOMPARE(rig.run->runState(), RunState::Checking);
        rig.run->startUpload();
        QVERIFY(rig.settle());
        QCOMPARE(rig.server.requestCount(kVersionPath), 1);
        QCOMPARE(rig.uploads, 1);
    }

    void failedVersionCheckLetsStartBePressedAgain() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.versionReplies = {ScriptedReply::bytes(500, "text/plain", "down"),
                              ScriptedReply::json(200, "{}")};
        rig.run->startUpload();
        QTRY_COMPARE(rig.run->runState(), RunState::Ready);
        QCOMPARE(rig.t->alerts.messages(),
                 QStringList{QStringLiteral("Oops! something went wrong.")});
        QCOMPARE(rig.uploads, 0);
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploads, 1);
        QCOMPARE(rig.run->runState(), RunState::Finished);
    }

    void deletingRowsDuringARunKeepsTheOrder() {
        Rig rig;
        for (const char* n : {"a.png", "b.png", "c.png"}) rig.addImage(QString::fromLatin1(n));
        bool deleted = false;
        QObject::connect(rig.queue.get(), &ImageQueue::rowChanged, rig.run.get(), [&](int row) {
            if (deleted || row != 1 || rig.row(1)->status != RowStatus::InProgress) return;
            deleted = true;
            QVERIFY(!rig.queue->deleteImage(1));  // the image in flight stays
            QVERIFY(rig.queue->deleteImage(0));   // a finished one goes
            QCOMPARE(rig.queue->counter, qint64(0));
        });
        QVERIFY(rig.startAndSettle());
        QVERIFY(deleted);
        QCOMPARE(rig.uploadedNames(), (QStringList{"a.png", "b.png", "c.png"}));
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 2"));
        QCOMPARE(rig.run->runState(), RunState::Finished);
        QCOMPARE(rig.row(0)->imageName, std::optional<QString>(QStringLiteral("b.png")));
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
    }

    // --- The result address, the download and the write: untrusted input. ---

    void unsafeResultAddressesAreNeverFetched_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("text");
        QTest::newRow("file") << "file:///etc/hostname"
                              << "must use https";
        QTest::newRow("qrc") << "qrc:/x.png"
                             << "must use https";
        QTest::newRow("data") << "data:image/png;base64,iVBORw0KGgo="
                              << "must use https";
        QTest::newRow("ftp") << "ftp://127.0.0.1/x.png"
                             << "must use https";
        QTest::newRow("http to another host") << "http://192.0.2.1/x.png"
                                              << "must use https";
        QTest::newRow("bare path") << "/results/x.png"
                                   << "not a valid web address";
        QTest::newRow("malformed") << "https://[::1/x.png"
                                   << "not a valid web address";
        QTest::newRow("missing") << QString() << "no result address";
        QTest::newRow("dot dot") << "@SERVER@/results/.."
                                 << "does not end in a file name";
        QTest::newRow("empty name") << "@SERVER@/results/"
                                    << "does not end in a file name";
    }
    void unsafeResultAddressesAreNeverFetched() {
        QFETCH(QString, url);
        QFETCH(QString, text);
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("b.png"));
        url.replace(QStringLiteral("@SERVER@"),
                    rig.server.url(QStringLiteral("/")).toString().chopped(1));
        rig.onUpload = [&](const RecordedRequest& r) {
            if (rig.uploads == 1) {
                if (url.isNull()) return ScriptedReply::json(200, R"({"ff_credit":5})");
                return rig.accepted(r, url);
            }
            return rig.accepted(r);
        };
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.row(0)->status, RowStatus::Failed);
        QVERIFY2(rig.row(0)->statusText.contains(text), qPrintable(rig.row(0)->statusText));
        QVERIFY(rig.row(0)->outputFile.isEmpty());
        // Only the uploads and the second result reached a server; nothing else was written.
        QCOMPARE(rig.server.requestCount("/results/b.png"), 1);
        QCOMPARE(rig.server.requestCount(), 1 + 2 + 1);
        QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_b.png")});
        QCOMPARE(int(rig.queue->arrUploadImages->size()), 1);
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 2"));
    }

    void brokenDownloadsFailTheRow_data() {
        QTest::addColumn<ScriptedReply>("result");
        QTest::addColumn<QString>("text");
        ScriptedReply endless = ScriptedReply::endless(200, "image/png");
        endless.endlessIntervalMs = 0;
        QTest::newRow("truncated")
            << ScriptedReply::truncate(200, "image/png", pngBytes().left(100)) << "cut short";
        QTest::newRow("endless") << endless << "larger than 52428800 bytes";
        QTest::newRow("announced too large")
            << ScriptedReply::bytes(200, "image/png", "x").withHeader("Content-Length", "60000000")
            << "larger than";
        QTest::newRow("silent") << ScriptedReply::hold() << "no data for";
        QTest::newRow("not an image")
            << ScriptedReply::bytes(200, "image/png", "<html>nope</html>") << "not an image";
        QTest::newRow("empty") << ScriptedReply::bytes(200, "image/png", "") << "not an image";
        QTest::newRow("404") << ScriptedReply::json(404, "{}") << "HTTP status 404";
        QTest::newRow("redirect to a remote http host")
            << ScriptedReply::redirect(302, "http://192.0.2.1/x.png")
            << "redirected to a refused address";
        QTest::newRow("redirect to file") << ScriptedReply::redirect(307, "file:///etc/hostname")
                                          << "redirected to a refused address";
        QTest::newRow("redirect loop")
            << ScriptedReply::redirect(302, "/results/a.png") << "more than 3 times";
    }
    void brokenDownloadsFailTheRow() {
        QFETCH(ScriptedReply, result);
        QFETCH(QString, text);
        Rig rig;
        rig.session.setTimeouts(400, 10000);
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("b.png"));
        rig.results.insert("/results/a.png", result);
        QVERIFY(rig.startAndSettle(15000));
        QCOMPARE(rig.row(0)->status, RowStatus::Failed);
        QVERIFY2(rig.row(0)->statusText.contains(text), qPrintable(rig.row(0)->statusText));
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
        QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_b.png")});
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 2 of 2"));
    }

    void redirectsAreFollowedUpToThree() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.results.insert("/results/a.png", ScriptedReply::redirect(301, "/hop1"));
        rig.results.insert("/hop1",
                           ScriptedReply::redirect(302, rig.server.url("/hop2").toEncoded()));
        rig.results.insert("/hop2", ScriptedReply::redirect(308, "/results/final.png"));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
        // Named after the address the service gave, not the one redirected to.
        QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_a.png")});
        for (const RecordedRequest& r : rig.server.requests())
            if (r.method == "GET") QVERIFY(!r.hasHeader("API-KEY"));
    }

    void failedWritesLeaveNoFileBehind_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("folder is a file") << "file";
        QTest::newRow("folder missing") << "missing";
        QTest::newRow("read-only folder") << "read-only";
        QTest::newRow("disk full, older file kept") << "full";
    }
    void failedWritesLeaveNoFileBehind() {
        QFETCH(QString, how);
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        QString folder = rig.outputs.path();
        const QString existing = QDir(folder).filePath(QStringLiteral("vorpane_output_a.png"));
        std::unique_ptr<FileSizeLimit> limit;
        if (how == QLatin1String("file")) {
            folder = rig.outputs.filePath(QStringLiteral("plain"));
            QFile f(folder);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (how == QLatin1String("missing")) {
            folder = rig.outputs.filePath(QStringLiteral("gone"));
        } else if (how == QLatin1String("read-only")) {
            folder = rig.outputs.filePath(QStringLiteral("ro"));
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            QFile probe(QDir(folder).filePath(QStringLiteral("probe")));
            if (probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QSKIP(
                    "permissions do not apply to this user (root); the other rows make the write "
                    "fail");
            }
        } else {
            QFile old(existing);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("older result");
            old.close();
            limit = std::make_unique<FileSizeLimit>(16);
            QVERIFY(limit->active());
        }
        rig.t->settings.setString(UserDefaultKeys::outputFolder, folder);
        QVERIFY(rig.startAndSettle());
        limit.reset();
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(rig.row(0)->status, RowStatus::Failed);
        QVERIFY2(rig.row(0)->statusText.startsWith(QStringLiteral("The result could not be saved")),
                 qPrintable(rig.row(0)->statusText));
        QVERIFY(!rig.queue->arrUploadImages.has_value());
        QCOMPARE(rig.controls().lblUploadCountText, QStringLiteral("Finished 1 of 1"));
        if (how == QLatin1String("full")) {
            QCOMPARE(rig.outputFiles(), QStringList{QStringLiteral("vorpane_output_a.png")});
            QFile old(existing);
            QVERIFY(old.open(QIODevice::ReadOnly));
            QCOMPARE(old.readAll(), QByteArray("older result"));
        } else if (QFileInfo(folder).isDir()) {
            QVERIFY(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
        }
    }

    void anExistingOutputIsReplaced() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        QFile old(rig.outputs.filePath(QStringLiteral("vorpane_output_a.png")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("older result");
        old.close();
        QVERIFY(rig.startAndSettle());
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), rig.resultBytes);
        QCOMPARE(int(rig.outputFiles().size()), 1);
    }

    void nagleIsTurnedOffOnlyForConnectionsToTheServicePort() {
        QTcpServer service;
        QTcpServer other;
        QVERIFY(service.listen(QHostAddress::LocalHost, 0));
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        QTcpSocket toService;
        QTcpSocket toOther;
        toService.connectToHost(QHostAddress::LocalHost, service.serverPort());
        toOther.connectToHost(QHostAddress::LocalHost, other.serverPort());
        QVERIFY(toService.waitForConnected(3000));
        QVERIFY(toOther.waitForConnected(3000));
        QVERIFY(service.waitForNewConnection(3000));
        QTcpSocket* accepted = service.nextPendingConnection();
        QCOMPARE(toService.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);

        QCOMPARE(LowDelaySockets::apply(service.serverPort()), 1);
        QCOMPARE(toService.socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
        QCOMPARE(toOther.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);
        QCOMPARE(accepted->socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);
        QCOMPARE(LowDelaySockets::apply(service.serverPort()), 0);  // already switched
    }

    // --- The rules behind the address checks, on their own. ---

    void addressRules() {
        QCOMPARE(ImageUpload::encodeResultUrl(
                     QStringLiteral("https://h.example/r/a b.png?x=1&y=\u00fc#f")),
                 QStringLiteral("https://h.example/r/a%20b.png?x=1&y=%C3%BC%23f"));
        QCOMPARE(ImageUpload::encodeResultUrl(QStringLiteral("https://h/a%2Fb")),
                 QStringLiteral("https://h/a%252Fb"));

        QVERIFY(
            ResultDownload::refusal(QUrl(QStringLiteral("https://cdn.example/x.png"))).isEmpty());
        QVERIFY(
            ResultDownload::refusal(QUrl(QStringLiteral("http://localhost:8/x.png"))).isEmpty());
        QVERIFY(ResultDownload::refusal(QUrl(QStringLiteral("http://[::1]:8/x.png"))).isEmpty());
        QVERIFY(
            !ResultDownload::refusal(QUrl(QStringLiteral("http://cdn.example/x.png"))).isEmpty());
        QVERIFY(!ResultDownload::refusal(QUrl(QStringLiteral("https:///x.png"))).isEmpty());

        const QUrl secure(QStringLiteral("https://cdn.example/x.png"));
        const QUrl local(QStringLiteral("http://127.0.0.1:9/x.png"));
        QVERIFY(ResultDownload::redirectRefusal(secure,
                                                QUrl(QStringLiteral("https://other.example/y.png")))
                    .isEmpty());
        QVERIFY(ResultDownload::redirectRefusal(secure, local)
                    .contains(QStringLiteral("from https to plain http")));
        QVERIFY(
            ResultDownload::redirectRefusal(local, QUrl(QStringLiteral("http://10.0.0.1/y.png")))
                .contains(QStringLiteral("refused address")));
        QVERIFY(ResultDownload::redirectRefusal(local, QUrl(QStringLiteral("http://localhost:9/y")))
                    .isEmpty());

        QCOMPARE(ResultSaver::outputFileName(QStringLiteral("https://h/r/abc123.png?sig=1")),
                 QStringLiteral("vorpane_output_abc123.png?sig=1"));
        QCOMPARE(ResultSaver::outputFileName(QStringLiteral("https://h/r/a%2520b.png")),
                 QStringLiteral("vorpane_output_a%2520b.png"));
        for (const char* refused :
             {"https://h/r/..", "https://h/r/.", "https://h/r/", "https://h/r/..%2F..%2Fx.png",
              "https://h/r/%2e%2e", "https://h/r/a%00b.png"})
            QVERIFY2(ResultSaver::outputFileName(QString::fromLatin1(refused)).isEmpty(), refused);
        const QString longest = QString(255 - ResultSaver::kPrefix.size(), QLatin1Char('n'));
        QCOMPARE(ResultSaver::outputFileName(QStringLiteral("https://h/") + longest),
                 ResultSaver::kPrefix + longest);
        QVERIFY(ResultSaver::outputFileName(QStringLiteral("https://h/n") + longest).isEmpty());
    }
};

QTEST_GUILESS_MAIN(PipelineTest)
#include "tst_pipeline.moc"
