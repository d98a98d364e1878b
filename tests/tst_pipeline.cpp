#include "BatchRun.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "ImageUpload.h"
#include "OutputOptions.h"
#include "ResultDownload.h"
#include "ResultSaver.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "TestData.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <QElapsedTimer>
#include <QtTest>
#include <csignal>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {

const QByteArray kUploadPath = "/api/v1/remove_image_background";
const QByteArray kVersionPath = "/api/v1/get_app_version";
const QByteArray kCreditPath = "/api/v1/credit_check";
const QString kUnlocked = QStringLiteral(" | START | drop add clear");  // after a whole run

// The process's peak resident memory (VmHWM), in MiB.
[[maybe_unused]] int peakMemoryMiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toInt() / 1024;
    return -1;
}

// A queue of images, the scripted service behind it, and the run under test.
class Rig final {
public:
    explicit Rig(bool creditsAnswered = true, int imagesAtATime = 1) {
        QVERIFY(started);
        clock.start();
        version.setOpenDelayMs(0);
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("key-123"));
        t.settings.setString(UserDefaultKeys::outputFolder, outputs.path());
        t.settings.setValue(UserDefaultKeys::imagesAtATime, imagesAtATime);
        if (creditsAnswered) t.credits.setBalances(10, 0, 0);
        run.setRetryDelays({30, 60, 90});
        server.script(kVersionPath, ScriptedReply::json(200, "{}"));
        server.script(kCreditPath, ScriptedReply::json(200, balancesJson(0)));
        server.setHandler([this](const RecordedRequest& r) {
            if (r.path == kUploadPath) {
                ++uploads;
                ScriptedReply reply = onUpload ? onUpload(r) : accepted(r);
                // The server's own account of how many uploads are open at once.
                const qint64 now = clock.elapsed();
                const qint64 ends = now + reply.delayMs;
                open.erase(std::remove_if(open.begin(), open.end(),
                                          [now](qint64 end) { return end <= now; }),
                           open.end());
                open.append(ends);
                openAtArrival.append(int(open.size()));
                arrivedAt.append(now);
                return reply;
            }
            if (onResult && r.path.startsWith("/results/")) return onResult(r);
            const int status = r.path.startsWith("/results/") ? 200 : 404;
            return results.value(r.path, ScriptedReply::bytes(status, "image/png", result));
        });
    }

    // The service's answer to an accepted image: its result under /results/, and the balances.
    ScriptedReply accepted(const RecordedRequest& r, QString url = QString()) {
        if (url.isNull())
            url = server.url("/results/" + QFileInfo(sentName(r)).baseName() + ".png").toString();
        const QString json(R"({"output_image_url":"%1","ff_credit":%2,"sp_credit":1})");
        return ScriptedReply::json(200, json.arg(url, QString::number(10 - uploads)).toUtf8());
    }

    QString addImage(const QString& name, const QByteArray& bytes = imageBytes(8, 8, "PNG"),
                     qint64 size = -1) {
        const QString path = inputs.filePath(name);
        if (writeFile(path, bytes, size)) queue.admitPaths({path}, true);
        return path;
    }

    DataModelPtr row(int i) const { return queue.at(i); }
    QStringList uploadedNames() const {
        QStringList out;
        for (const RecordedRequest& r : server.requests())
            if (r.path == kUploadPath) out.append(sentName(r));
        return out;
    }
    QStringList outputFiles() const {
        return QDir(outputs.path()).entryList(QDir::Files | QDir::Hidden);
    }
    // The count, the START button's title and the controls that are available, in one line.
    QString shown() const {
        const WindowState::Controls& c = window.controls();
        return QStringLiteral("%1 | %2 |%3%4%5%6")
            .arg(c.lblUploadCountText, c.btnStartTitle, c.btnStartEnabled ? " start" : "",
                 c.dragViewVisible ? " drop" : "", c.btnAddEnabled ? " add" : "",
                 c.btnClearListEnabled ? " clear" : "");
    }
    // The run as the window starts it, from the settings and the options.
    RunConfig config() const { return RunConfig::fromSettings(t.settings, options); }
    // The START / STOP button.
    void press() {
        if (run.runState() == RunState::Running)
            run.stop();
        else
            run.start(config());
    }
    // START (unless `start` is false), then wait until the run is no longer busy.
    bool startAndSettle(int timeoutMs = 8000, bool start = true) {
        if (start) press();
        const QList<RunState> busy{RunState::Checking, RunState::Running, RunState::Stopping};
        const QDeadlineTimer deadline(timeoutMs);
        while (busy.contains(run.runState()) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::processEvents();  // posted display refreshes
        return !busy.contains(run.runState());
    }

    ScriptedServer server;
    const bool started = server.start();
    TestContext t{*Constant::fromServiceUrl(server.baseUrl().toString())};
    ServiceSession session;
    WindowState window;
    ImageQueue queue{t.context, window};
    OutputOptions options;
    CreditService credits{t.context, session};
    VersionCheck version{t.context, session};
    BatchRun run{t.context, session, queue, window, credits, version};
    QTemporaryDir inputs;
    QTemporaryDir outputs;

    std::function<ScriptedReply(const RecordedRequest&)> onUpload;
    std::function<ScriptedReply(const RecordedRequest&)> onResult;
    QElapsedTimer clock;       // started with the rig
    QList<qint64> open;        // when each open upload is answered
    QList<int> openAtArrival;  // uploads open as each one arrived, itself included
    QList<qint64> arrivedAt;
    QHash<QByteArray, ScriptedReply> results;  // result paths answered otherwise than `result`
    const QByteArray result = imageBytes(40, 30, "PNG");
    int uploads = 0;
};

}  // namespace

class PipelineTest final : public QObject {
    Q_OBJECT
private slots:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("device not open"))); }
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void imageIsSentAndItsResultSaved_data() {
        QTest::addColumn<bool>("colored");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("sniffed");
        QTest::newRow("png") << false << imageBytes(8, 8, "PNG") << QByteArray("image/png");
        QTest::newRow("jpeg named .png, coloured")
            << true << imageBytes(32, 24, "JPEG") << QByteArray("image/jpeg");
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
        const QString out = rig.outputs.filePath(QStringLiteral("vorpane_output_photo.png"));
        // The result is three redirects away, the most that are followed.
        rig.results.insert("/results/photo.png", ScriptedReply::redirect(301, "/hop1"));
        rig.results.insert("/hop1", ScriptedReply::redirect(302, rig.server.url("/2").toEncoded()));
        rig.results.insert("/2", ScriptedReply::redirect(308, "/results/final.png"));
        QVERIFY(rig.startAndSettle());

        QCOMPARE(rig.uploadedNames(), QStringList{"photo.png"});
        const RecordedRequest up = rig.server.requests().at(1);  // after the version check
        QCOMPARE(up.method + ' ' + up.header("API-KEY"), "POST key-123");
        QVERIFY(up.multipartValid && up.header("Content-Type").startsWith("multipart/form-data"));
        QByteArrayList parts;
        for (const RecordedPart& p : up.parts) parts.append(p.name + '=' + p.body);
        QByteArrayList expected{"source_image_file=" + source, "frequenteraug=mac",
                                "credit_info=show", "format=jpg"};
        if (colored) expected.append("bg_color_code=#12AB34");
        QCOMPARE(parts, expected);
        QCOMPARE(up.parts[0].contentType, sniffed);
        QByteArrayList fetched;  // plain GETs that carry nothing of the user's
        for (const RecordedRequest& r : rig.server.requests().mid(2))
            fetched << r.method + ' ' + r.path +
                           (r.hasHeader("API-KEY") || r.hasHeader("Cookie") ? " +key" : "");
        QCOMPARE(fetched, (QByteArrayList{"GET /results/photo.png", "GET /hop1", "GET /2",
                                          "GET /results/final.png"}));

        QCOMPARE(readAll(out), rig.result);
        QCOMPARE(rig.outputFiles(), QStringList{"vorpane_output_photo.png"});
        QCOMPARE(rig.queue.arrUploadImages,
                 std::optional<QList<QUrl>>(QList<QUrl>{QUrl::fromLocalFile(out)}));
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
        QCOMPARE(rig.row(0)->statusText, " 40x30");
        QCOMPARE(readAll(path), source);
        QCOMPARE(rig.t.credits.snapshot().ff_credit, std::optional<QString>("9"));
        QTRY_VERIFY(rig.credits.displayText().contains("Total credits: 10"));
        QCOMPARE(rig.shown(), "Finished 1 of 1" + kUnlocked);
    }

    // Image b of three fails at some step (every attempt): its row fails with a text, nothing is
    // written, the run moves on. A reply that is no answer at all halts the run at b instead;
    // START then continues there. Failures that may pass are tried 1 + 3 times first, and a
    // paid result is only ever fetched again, never sent again.
    void imageThatFails_data() {
        QTest::addColumn<QString>("b");  // too large, gone, sent, or result (b's result fails)
        QTest::addColumn<ScriptedReply>("reply");  // to b's upload, or to b's result
        QTest::addColumn<QString>("url");  // b's result address; @ is the server, null: none
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("attempts");  // requests for b's upload (or its result)
        using R = ScriptedReply;
        const auto sent = [](const char* name, const char* b, const R& reply, const QString& text,
                             int attempts) {
            QTest::newRow(name) << b << reply << QString() << text << attempts;
        };
        const QString status = QStringLiteral("The service answered with HTTP status %1");
        sent("12 MB", "too large", {}, QStringLiteral("Image size is larger than 12 MB"), 0);
        sent("unreadable", "gone", {}, QStringLiteral("Image could not be read"), 0);
        sent("400 with a text", "sent", R::json(400, R"({"error":"No "})"), QStringLiteral("No "),
             1);
        sent("503 without an error text", "sent", R::json(503, R"({"a":"1"})"), status.arg(503), 4);
        sent("500 with an error text", "sent", R::json(500, R"({"error":"Busy"})"), "Busy", 4);
        sent("error that is not text", "sent", R::json(400, R"({"error":17})"), status.arg(400), 1);
        sent("not JSON", "sent", R::bytes(502, "text/html", "<p>"), QString(), 4);
        sent("404 page", "sent", R::bytes(404, "text/html", "<p>"), QString(), 1);
        sent("redirect", "sent", R::redirect(302, "/elsewhere"), QString(), 1);
        // Qt itself sends a request once more when a kept-alive connection closes unanswered.
        sent("connection closed", "sent", R::close(), QString(), -4);
        const auto refused = [](const char* name, const char* url, const char* text) {
            QTest::newRow(name) << "result" << R() << QString::fromLatin1(url) << text << 0;
        };
        refused("file", "file:///etc/hostname", "must use https");
        refused("data", "data:image/png;base64,iVBORw0KGgo=", "must use https");
        refused("http to another host", "http://192.0.2.1/x.png", "must use https");
        refused("malformed", "https://[::1/x.png", "not a valid web address");
        refused("missing", nullptr, "no result address");
        const auto broken = [](const char* name, const R& result, const char* text, int attempts) {
            QTest::newRow(name) << "result" << result << QStringLiteral("@/results/b.png") << text
                                << attempts;
        };
        R endless = R::endless(200, "image/png");
        endless.endlessIntervalMs = 1;  // paced, so the test server keeps serving the others
        const QByteArray start = imageBytes(40, 30, "PNG").left(99);
        broken("truncated", R::truncate(200, "image/png", start), "cut short", 4);
        broken("endless", endless, "larger than 52428800 bytes", 1);
        broken("announced too large",
               R::bytes(200, "image/png", "x").withHeader("Content-Length", "60000000"),
               "larger than", 1);
        broken("silent", R::hold(), "no data for", 4);
        broken("not an image", R::bytes(200, "image/png", "<html>"), "not an image", 1);
        broken("404", R::json(404, "{}"), "no longer has the result (HTTP status 404)", 1);
        broken("503", R::json(503, "{}"), "HTTP status 503", 4);
        broken("redirect to http", R::redirect(302, "http://192.0.2.1/x"), "refused address", 1);
        broken("redirect to file", R::redirect(307, "file:///etc/hostname"), "refused address", 1);
        broken("redirect loop", R::redirect(302, "/results/b.png"), "more than 3 times", 4);
    }
    void imageThatFails() {
        QFETCH(QString, b);
        QFETCH(ScriptedReply, reply);
        QFETCH(QString, url);
        QFETCH(QString, text);
        QFETCH(int, attempts);
        Rig rig;
        const bool tooLarge = b == QLatin1String("too large");
        const bool result = b == QLatin1String("result");
        rig.addImage(QStringLiteral("a.png"), {}, tooLarge ? ImageQueue::kSizeLimit - 1 : 8);
        const QString bPath = rig.addImage(QStringLiteral("b.png"), imageBytes(8, 8, "PNG"),
                                           tooLarge ? ImageQueue::kSizeLimit : -1);
        rig.addImage(QStringLiteral("c.png"));
        if (b == QLatin1String("gone")) QVERIFY(QFile::remove(bPath));
        url.replace(QLatin1Char('@'), rig.server.url().toString().chopped(1));
        const bool endless = QTest::currentDataTag() == QByteArray("endless");
        if (result) {
            // Only the silent download has to wait for the inactivity time-out; the others get
            // room for slow (sanitizer) builds.
            // The endless one streams 50 MiB, which takes a while in sanitizer builds.
            rig.session.setTimeouts(QTest::currentDataTag() == QByteArray("silent") ? 400 : 5000,
                                    endless ? 90000 : 10000);
            rig.results.insert("/results/b.png", reply);
        }
        bool breakB = true;  // every attempt at b.png fails while this is set
        rig.onUpload = [&](const RecordedRequest& r) {
            if (!breakB || sentName(r) != QLatin1String("b.png")) return rig.accepted(r);
            if (!result) return reply;
            return url.isNull() ? ScriptedReply::json(200, "{}") : rig.accepted(r, url);
        };
        // The peak memory of the endless download, from here on.
        if (endless) QVERIFY(writeFile(QStringLiteral("/proc/self/clear_refs"), "5"));
        QVERIFY(rig.startAndSettle(endless ? 90000 : 15000));  // 50 MiB, also in sanitizer builds
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed buffers resident
        if (endless) QVERIFY2(peakMemoryMiB() < 100, qPrintable(QString::number(peakMemoryMiB())));
#endif
        if (result) QCOMPARE(rig.server.requestCount("/results/b.png"), attempts);
        if (attempts < 0)
            QVERIFY(rig.uploadedNames().count("b.png") >= -attempts);
        else
            QCOMPARE(rig.uploadedNames().count("b.png"), result ? 1 : attempts);
        if (!text.isEmpty()) {
            QCOMPARE(rig.row(1)->status, RowStatus::Failed);
            const QString shownText = rig.row(1)->statusText;
            QVERIFY2(result ? shownText.contains(text) : shownText == text, qPrintable(shownText));
            QCOMPARE(rig.uploadedNames().filter(QRegularExpression("^[ac]")),
                     (QStringList{"a.png", "c.png"}));
            QCOMPARE(qint64(rig.server.requests().at(1).parts.at(0).body.size()),
                     tooLarge ? ImageQueue::kSizeLimit - 1 : 8);
            QCOMPARE(rig.outputFiles(),
                     (QStringList{"vorpane_output_a.png", "vorpane_output_c.png"}));
            QCOMPARE(rig.queue.arrUploadImages->size(), 2);
            // Failures another attempt may change leave START offering "Retry Failed".
            const bool forGood = tooLarge || b == "gone";
            QCOMPARE(rig.row(1)->failedForGood, forGood);
            QCOMPARE(rig.shown(), QString("Finished 3 of 3 | START |") + (forGood ? "" : " start") +
                                      " drop add clear");
            QVERIFY(rig.t.alerts.entries.isEmpty());
            // A result the service no longer has can only come back by paying again.
            if (result && !url.isNull())
                QCOMPARE(rig.row(1)->resultUrl.isEmpty(),
                         QTest::currentDataTag() == QByteArray("404"));
            if (result && !url.endsWith(QLatin1String("/results/b.png")))
                QCOMPARE(rig.server.requestCount(), 1 + 3 + 2);  // b's result is never requested
            return;
        }
        QCOMPARE(rig.run.runState(), RunState::Halted);
        QCOMPARE(rig.t.alerts.messages(), QStringList{"Oops! Something went wrong."});
        QVERIFY2(rig.t.alerts.entries.first().detail.endsWith(
                     "1 of 3 done \u2014 press START to continue."),
                 qPrintable(rig.t.alerts.entries.first().detail));
        QCOMPARE(rig.row(1)->status, RowStatus::FailedHalted);
        QCOMPARE(rig.row(2)->status, RowStatus::Waiting);
        QCOMPARE(rig.shown(), "Finished 1 of 3 | START | start drop add clear");
        QCOMPARE(rig.server.requestCount("/elsewhere"), 0);

        // START continues with the halted image; a.png is not sent again.
        breakB = false;
        const qsizetype before = rig.uploadedNames().size();
        rig.addImage(QStringLiteral("d.png"));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploadedNames().mid(before), (QStringList{"b.png", "c.png", "d.png"}));
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
        QCOMPARE(rig.shown(), "Finished 4 of 4" + kUnlocked);
    }

    // STOP while image 2 of 5 is saved: the list is locked, the run ends after that image. Then
    // rows before the current one can be deleted, and STOP during the last image ends finished.
    void stopAndDeleteDuringARun() {
        Rig rig;
        for (const char* name : {"1.png", "2.png", "3.png", "4.png", "5.png"}) rig.addImage(name);
        for (const char* path : {"/results/2.png", "/results/3.png", "/results/5.png"})
            rig.results.insert(path,
                               ScriptedReply::bytes(200, "image/png", rig.result).withDelay(500));
        rig.press();
        QCOMPARE(rig.run.runState(), RunState::Checking);
        rig.press();  // ignored while the version check is pending
        QTRY_COMPARE(rig.server.requestCount("/results/2.png"), 1);
        QCOMPARE(rig.row(1)->status, RowStatus::InProgress);
        QCOMPARE(rig.row(2)->status, RowStatus::Waiting);
        QCOMPARE(rig.shown(), "Finished 1 of 5 | STOP | start");
        QVERIFY(!rig.queue.deleteImage(1));
        rig.press();
        rig.press();  // a second STOP changes nothing
        QCOMPARE(rig.shown(), "Finished 1 of 5 | Stopping\u2026 |");
        QVERIFY(rig.startAndSettle(8000, false));
        QCOMPARE(rig.uploadedNames(), (QStringList{"1.png", "2.png"}));
        QCOMPARE(rig.row(1)->status, RowStatus::Done);
        QCOMPARE(rig.shown(), "Finished 2 of 5 | START | start drop add clear");

        rig.press();
        QTRY_COMPARE(rig.server.requestCount("/results/3.png"), 1);
        QVERIFY(rig.queue.deleteImage(0));
        QCOMPARE(rig.queue.counter, qint64(2));  // the first row not sent yet, 4.png
        QTRY_COMPARE(rig.server.requestCount("/results/5.png"), 1);
        rig.press();
        QCOMPARE(rig.run.runState(), RunState::Stopping);
        QVERIFY(rig.startAndSettle(8000, false));
        QCOMPARE(rig.uploadedNames(), (QStringList{"1.png", "2.png", "3.png", "4.png", "5.png"}));
        QCOMPARE(rig.shown(), "Finished 4 of 4" + kUnlocked);
        // Nothing left: START does nothing, not even the version check.
        rig.press();
        QCOMPARE(rig.run.runState(), RunState::Finished);
        QTest::qWait(50);
        QCOMPARE(rig.server.requestCount(kVersionPath), 2);
    }

    void startChecksRefuseTheRun_data() {
        QTest::addColumn<QString>("failing");  // what is missing
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("info");    // the sheet's text; empty for a plain alert
        QTest::addColumn<QString>("action");  // the sheet's first button
        const auto row = [](const char* failing, const char* message, const char* info,
                            const char* action) {
            QTest::newRow(failing) << failing << message << info << action;
        };
        const char* noCredit = "oops! You're out of credit.";
        row("no key", "API key alert!", "Please! Enter an api key to continue.", "Got it");
        // Balances not known (or zero, perhaps before a top-up) are asked for first.
        row("no credit answered yet, the service says none", "Credit alert!", noCredit, "Recharge");
        row("no credit answered yet, the service answers no JSON", "Oops! something went wrong.",
            "", "");
        row("zero credit", "Credit alert!", noCredit, "Recharge");
        row("no colour", "Please choose a color to continue.", "", "");
        // Nothing is paid for that cannot be saved.
        row("output folder missing", "The output folder @/gone does not exist", "", "");
        row("output folder read-only", "The output folder is read-only", "", "");
    }
    void startChecksRefuseTheRun() {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        QFETCH(QString, info);
        QFETCH(QString, action);
        const bool unknownCredits = failing.startsWith(QLatin1String("no credit"));
        Rig rig(!unknownCredits);
        rig.addImage(QStringLiteral("a.png"));
        if (failing == QLatin1String("no key"))
            rig.t.settings.setString(UserDefaultKeys::apiKey, QString());
        if (failing == QLatin1String("zero credit")) rig.t.credits.setBalances(3, -3, 0);
        if (failing.endsWith(QLatin1String("no JSON")))
            rig.server.script(kCreditPath, ScriptedReply::bytes(502, "text/html", "<p>"));
        rig.options.isColored = failing == QLatin1String("no colour");
        // Root writes through permissions, so the read-only folder is one nobody may create in.
        const QString folder = failing.endsWith(QLatin1String("read-only"))
                                   ? QStringLiteral("/proc/self")
                                   : rig.outputs.filePath(QStringLiteral("gone"));
        message.replace(QLatin1Char('@'), rig.outputs.path());
        if (failing.startsWith(QLatin1String("output folder")))
            rig.t.settings.setString(UserDefaultKeys::outputFolder, folder);
        int sheetRequests = 0;
        QObject::connect(&rig.run, &BatchRun::settingsSheetRequested, [&] { ++sheetRequests; });
        QVERIFY(rig.startAndSettle());

        QCOMPARE(rig.t.alerts.messages(), QStringList{message});
        QCOMPARE(rig.shown(), "Finished 0 of 1 | START | start drop add clear");
        QCOMPARE(rig.server.requestCount(kCreditPath),
                 unknownCredits || failing == QLatin1String("zero credit") ? 1 : 0);
        QCOMPARE(rig.row(0)->status, RowStatus::Waiting);
        QCOMPARE(rig.t.settings.apiKey().isEmpty(), failing == QLatin1String("no key"));
        const RecordingAlerts::Entry alert = rig.t.alerts.entries.first();
        QCOMPARE(alert.sheet, !info.isEmpty());
        if (alert.sheet) {
            QVERIFY(alert.alert.critical);
            QCOMPARE(alert.alert.buttons.join('|') + ": " + alert.alert.informativeText,
                     action + "|Cancel: " + info);
            // "Cancel" does nothing; the action button opens the settings or the account page.
            rig.t.alerts.pendingSheet(1);
            QTest::qWait(20);
            QVERIFY(sheetRequests == 0 && rig.t.opener.opened.isEmpty());
            rig.t.alerts.pendingSheet(0);
            const bool keyAlert = failing == QLatin1String("no key");
            QCOMPARE(sheetRequests, keyAlert ? 1 : 0);
            if (!keyAlert) QTRY_COMPARE(rig.t.opener.opened.value(0).path(), "/account");
        }
        QCOMPARE(rig.uploads, 0);
    }

    // A failed version check and a required update stop the run; an optional one runs. A
    // failure that may pass is asked again, like any other exchange.
    void versionCheckGatesTheRun() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.server.script(
            kVersionPath,
            {ScriptedReply::bytes(404, "text/html", "<html>"),
             ScriptedReply::bytes(500, "text/plain", "down"),
             ScriptedReply::json(200, R"({"app_version":"2.0","update_type":"hard"})")});
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.t.alerts.messages(), QStringList{"Oops! something went wrong."});
        QVERIFY(rig.t.alerts.entries.first().detail.startsWith(
            "The service at " + rig.server.baseUrl().toString() + " could not be reached ("));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.t.alerts.messages().last(), "Update available!");
        QCOMPARE(rig.server.requestCount(kVersionPath), 3);
        QCOMPARE(rig.uploads, 0);
        rig.server.script(kVersionPath, ScriptedReply::json(
                                            200, R"({"app_version":"2.1","update_type":"soft"})"));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.t.alerts.entries.size(), 3);
        QCOMPARE(rig.uploadedNames(), QStringList{"a.png"});
    }

    // A full disk: the older file is kept, the row fails with the system's reason and keeps its
    // paid result address; "Retry Failed" then only downloads it again.
    void failedWriteIsRetriedWithoutPayingAgain() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        const QString older = rig.outputs.filePath(QStringLiteral("vorpane_output_a.png"));
        QVERIFY(writeFile(older, "older result"));
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, SIG_IGN);  // every write beyond 16 bytes fails, also for root
        const rlimit small{16, previous.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool settled = rig.startAndSettle();
        setrlimit(RLIMIT_FSIZE, &previous);
        QVERIFY(settled);
        QCOMPARE(rig.row(0)->status, RowStatus::Failed);
        QCOMPARE(rig.row(0)->statusText, "The result could not be saved: File too large");
        QVERIFY(!rig.row(0)->resultUrl.isEmpty());
        QVERIFY(!rig.queue.arrUploadImages.has_value());
        QCOMPARE(readAll(older), "older result");
        QCOMPARE(rig.outputFiles(), QStringList{"vorpane_output_a.png"});

        rig.run.retryFailed(rig.config());
        QVERIFY(rig.startAndSettle(8000, false));
        QCOMPARE(rig.uploads, 1);
        QCOMPARE(rig.server.requestCount("/results/a.png"), 2);
        QCOMPARE(readAll(older), rig.result);
        QCOMPARE(rig.shown(), "Finished 1 of 1" + kUnlocked);
    }

    // A failure that may pass is tried again for the same image; the run neither halts nor fails
    // the row, and the image is paid for once.
    void transientFailuresAreRetried_data() {
        QTest::addColumn<bool>("download");  // the failure hits the result download
        QTest::addColumn<ScriptedReply>("failure");
        QTest::addColumn<QString>("waitText");  // what the row shows during the pause
        QTest::addColumn<int>("minPauseMs");
        using R = ScriptedReply;
        QTest::newRow("time-out") << false << R::hold() << "no answer in time" << 0;
        QTest::newRow("429 with Retry-After")
            << false << R::json(429, R"({"error":"slow down"})").withHeader("Retry-After", "1")
            << "Retrying in 1 s (too many requests)" << 900;
        QTest::newRow("502 HTML") << false << R::bytes(502, "text/html", "<p>") << "bad gateway"
                                  << 0;
        QTest::newRow("result 503") << true << R::json(503, "{}") << "service unavailable" << 0;
        QTest::newRow("result cut short")
            << true << R::truncate(200, "image/png", "x") << "connection lost" << 0;
    }
    void transientFailuresAreRetried() {
        QFETCH(bool, download);
        QFETCH(ScriptedReply, failure);
        QFETCH(QString, waitText);
        QFETCH(int, minPauseMs);
        Rig rig;
        rig.session.setTimeouts(400, 10000);
        rig.addImage(QStringLiteral("a.png"));
        QList<qint64> arrivals;
        int attempts = 0;
        auto failOnce = [&](const RecordedRequest&, const ScriptedReply& otherwise) {
            arrivals.append(rig.clock.elapsed());
            return attempts++ == 0 ? failure : otherwise;
        };
        if (download)
            rig.onResult = [&](const RecordedRequest& r) {
                return failOnce(r, ScriptedReply::bytes(200, "image/png", rig.result));
            };
        else
            rig.onUpload = [&](const RecordedRequest& r) { return failOnce(r, rig.accepted(r)); };
        QStringList shown;
        connect(&rig.queue, &ImageQueue::rowChanged, &rig.queue,
                [&](int row) { shown.append(rig.row(row)->statusText); });
        QVERIFY(rig.startAndSettle(10000));
        QVERIFY(rig.t.alerts.entries.isEmpty());
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
        QVERIFY(attempts >= 2);
        QCOMPARE(rig.uploads, download ? 1 : attempts);
        QVERIFY2(shown.filter(waitText).size() > 0, qPrintable(shown.join('|')));
        QVERIFY(arrivals.last() - arrivals.first() >= minPauseMs);
        QCOMPARE(rig.shown(), "Finished 1 of 1" + kUnlocked);
    }

    // The service refuses image 2 of 5 for want of credit: the run stops there, once, and goes on
    // after a top-up.
    void outOfCreditStopsOnce() {
        Rig rig;
        for (const char* name : {"1.png", "2.png", "3.png", "4.png", "5.png"}) rig.addImage(name);
        bool empty = true;
        rig.onUpload = [&](const RecordedRequest& r) {
            return empty && sentName(r) == QLatin1String("2.png")
                       ? ScriptedReply::json(402, R"({"error":"No credit left"})")
                       : rig.accepted(r);
        };
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploadedNames(), (QStringList{"1.png", "2.png"}));
        QCOMPARE(rig.t.alerts.messages(), QStringList{"Credit alert!"});
        for (int i = 1; i < 5; ++i) QCOMPARE(rig.row(i)->status, RowStatus::Waiting);
        QCOMPARE(rig.shown(), "Finished 1 of 5 | START | start drop add clear");
        QTRY_VERIFY(rig.credits.displayText().contains("Total credits: 0"));

        // After a top-up START asks for the balances (it knows of none left) and finishes.
        empty = false;
        rig.server.script(kCreditPath, ScriptedReply::json(200, balancesJson(9)));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.uploadedNames().mid(2), (QStringList{"2.png", "3.png", "4.png", "5.png"}));
        QCOMPARE(rig.shown(), "Finished 5 of 5" + kUnlocked);
    }

    // "Retry Failed" sends again only the images another attempt may change, and never a done one.
    // START after such a run offers the same.
    void retryFailedSendsOnlyWhatMayChange() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("b.png"), imageBytes(8, 8, "PNG"), ImageQueue::kSizeLimit);
        rig.addImage(QStringLiteral("c.png"));
        rig.addImage(QStringLiteral("d.png"));
        bool refuse = true;
        rig.onUpload = [&](const RecordedRequest& r) {
            if (!refuse || sentName(r) == QLatin1String("c.png")) return rig.accepted(r);
            return sentName(r) == QLatin1String("a.png")
                       ? ScriptedReply::json(400, R"({"error":"Bad"})")
                       : ScriptedReply::json(500, R"({"error":"Busy"})");
        };
        QSignalSpy retriable(&rig.run, &BatchRun::retriableFailedChanged);
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.run.retriableFailedCount(), 2);
        QCOMPARE(retriable.last().at(0).toInt(), 2);
        QCOMPARE(rig.shown(), "Finished 4 of 4 | START | start drop add clear");
        refuse = false;
        const qsizetype before = rig.uploadedNames().size();
        rig.t.alerts.sheetAnswers.push_back(0);
        QVERIFY(rig.startAndSettle());  // "Retry 2 failed images?" - Retry
        QCOMPARE(rig.t.alerts.messages(), QStringList{"Retry 2 failed images?"});
        QCOMPARE(rig.uploadedNames().mid(before), (QStringList{"a.png", "d.png"}));
        QCOMPARE(rig.row(1)->statusText, ImageUpload::kTooLarge);
        QCOMPARE(rig.shown(), "Finished 4 of 4" + kUnlocked);
    }

    // "Busy, come back later" (a 503 with a Retry-After) is waited out beyond the retries, up to
    // a patience; past it, such answers count like other failures and the row fails.
    void pausesTheServiceAsksForAreWaitedOut() {
        for (const qint64 patienceMs : {qint64(2000), qint64(100)}) {
            Rig rig;
            rig.run.setRetryDelays({30, 60, 90}, patienceMs);
            rig.addImage(QStringLiteral("a.png"));
            rig.onUpload = [&](const RecordedRequest& r) {
                return rig.uploads <= 20 ? ScriptedReply::json(503, R"({"error":"later"})")
                                               .withHeader("Retry-After", "0")
                                         : rig.accepted(r);
            };
            QVERIFY(rig.startAndSettle(10000));
            const bool patient = patienceMs > 1000;
            QCOMPARE(rig.row(0)->status, patient ? RowStatus::Done : RowStatus::Failed);
            // Patient: 20 pauses of 30 ms; else 3 such pauses, then the 3 retries.
            QCOMPARE(rig.uploads, patient ? 21 : 7);
        }
    }

    // STOP during a pause before a retry ends the run at once; the image waits for the next START.
    void stopDuringAPauseEndsAtOnce() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.onUpload = [&](const RecordedRequest&) {
            return ScriptedReply::json(503, "{}").withHeader("Retry-After", "30");
        };
        rig.press();
        QTRY_VERIFY(rig.row(0)->statusText.startsWith("Retrying in 30 s"));
        rig.press();  // STOP
        QCOMPARE(rig.run.runState(), RunState::Ready);
        QCOMPARE(rig.row(0)->status, RowStatus::Waiting);
        QCOMPARE(rig.shown(), "Finished 0 of 1 | START | start drop add clear");
        QCOMPARE(rig.uploads, 1);
    }

    // A result is named after its photo, with the extension of what the bytes are, whatever
    // the address says; named after the service's result, the address's last component is used
    // as written (decoded, never the query's), and refused when it is no file name.
    void resultNames_data() {
        QTest::addColumn<QString>("naming");
        QTest::addColumn<QString>("photo");
        QTest::addColumn<QString>("path");  // of the result's address
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QString>("saved");  // or the row's failure
        const auto row = [](const char* tag, const char* naming, const char* photo,
                            const char* path, const char* format, const char* saved) {
            QTest::newRow(tag) << naming << photo << path << QByteArray(format) << saved;
        };
        row("opaque address", "photo", "alpha.png", "/results/4e07408562bedb8b60ce05c1decfe3ad.png",
            "PNG", "vorpane_output_alpha.png");
        row("spaces kept, JPEG bytes", "photo", "holiday beach.jpg", "/results/holiday_beach.png",
            "JPEG", "vorpane_output_holiday beach.jpg");
        row("address without a name", "photo", "a.png", "/results/", "PNG", "vorpane_output_a.png");
        row("service: decoded, no query", "service", "a.png", "/results/my%20photo.png?s=/x.png",
            "PNG", "vorpane_output_my photo.png");
        row("service: escaped slash", "service", "a.png", "/results/a%2Fb.png", "PNG",
            "does not end in a file name");
    }
    void resultNames() {
        QFETCH(QString, naming);
        QFETCH(QString, photo);
        QFETCH(QString, path);
        QFETCH(QByteArray, format);
        QFETCH(QString, saved);
        Rig rig;
        rig.t.settings.setValue(UserDefaultKeys::resultNames, naming);
        rig.addImage(photo);
        const QString address = rig.server.url("/").toString() + path.mid(1);
        rig.onUpload = [&](const RecordedRequest& r) { return rig.accepted(r, address); };
        rig.onResult = [&](const RecordedRequest&) {
            return ScriptedReply::bytes(200, "image/png", imageBytes(8, 8, format));
        };
        QVERIFY(rig.startAndSettle());
        if (saved.startsWith(ResultSaver::kPrefix)) {
            QCOMPARE(rig.outputFiles(), QStringList{saved});
            QCOMPARE(rig.row(0)->status, RowStatus::Done);
        } else {
            QCOMPARE(rig.outputFiles(), QStringList());
            QVERIFY2(rig.row(0)->statusText.contains(saved), qPrintable(rig.row(0)->statusText));
        }
    }

    // A name in the output folder held by a link (to a file or to nowhere), a pipe or a folder
    // is left alone: nothing outside the folder is written, and the result takes the next name.
    void namesThatAreNoFileAreLeftAlone_data() {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QString>("what");
        // clang-format off
        QTest::newRow("link to a file") << "link" << "a link";
        QTest::newRow("dangling link") << "dangling" << "a link";
        QTest::newRow("pipe") << "fifo" << "a pipe";
        QTest::newRow("folder") << "folder" << "a folder";
        // clang-format on
    }
    void namesThatAreNoFileAreLeftAlone() {
        QFETCH(QString, planted);
        QFETCH(QString, what);
        Rig rig;
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(QStringLiteral("notes.txt"));
        const QString name = rig.outputs.filePath(QStringLiteral("vorpane_output_a.png"));
        if (planted == QLatin1String("link")) QVERIFY(writeFile(target, "my notes"));
        if (planted == QLatin1String("link") || planted == QLatin1String("dangling"))
            QVERIFY(QFile::link(target, name));
        if (planted == QLatin1String("fifo")) QCOMPARE(::mkfifo(QFile::encodeName(name), 0600), 0);
        if (planted == QLatin1String("folder")) QVERIFY(QDir().mkdir(name));
        rig.addImage(QStringLiteral("a.png"));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.row(0)->status, RowStatus::Done);
        QCOMPARE(QFileInfo(rig.row(0)->outputFile).fileName(), "vorpane_output_a (2).png");
        QCOMPARE(readAll(rig.row(0)->outputFile), rig.result);
        QVERIFY2(
            rig.row(0)->statusText.contains("vorpane_output_a.png is " + what + ", left alone"),
            qPrintable(rig.row(0)->statusText));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files),
                 planted == QLatin1String("link") ? QStringList{"notes.txt"} : QStringList());
        if (planted == QLatin1String("link")) QCOMPARE(readAll(target), QByteArray("my notes"));
        QVERIFY(QFileInfo(name).isSymLink() || planted == QLatin1String("fifo") ||
                QFileInfo(name).isDir());
    }

    // Two results of one name in one run are both kept; a file of an earlier run is replaced.
    void sameNameTwiceInOneRun() {
        Rig rig;
        rig.addImage(QStringLiteral("a.png"));
        rig.addImage(QStringLiteral("a.jpg"), imageBytes(8, 8, "JPEG"));
        QVERIFY(writeFile(rig.outputs.filePath(QStringLiteral("vorpane_output_a.png")), "older"));
        QVERIFY(rig.startAndSettle());
        QCOMPARE(rig.outputFiles(),
                 (QStringList{"vorpane_output_a (2).png", "vorpane_output_a.png"}));
        QCOMPARE(readAll(rig.outputs.filePath(QStringLiteral("vorpane_output_a.png"))), rig.result);
        QCOMPARE(QFileInfo(rig.row(0)->outputFile).fileName() + '|' +
                     QFileInfo(rig.row(1)->outputFile).fileName(),
                 "vorpane_output_a.png|vorpane_output_a (2).png");
    }

    // Several images in flight: never more than the setting, the credits known or (after a 429)
    // one fewer; each image is paid for once and saved; STOP and a halt let those in flight end.
    void severalImagesInFlight_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("maxOpen");
        QTest::addColumn<QStringList>("saved");  // the images saved; the rest were not sent
        const QStringList all{"1", "2", "3", "4", "5", "6", "7"};
        QTest::newRow("three at a time") << "plain" << 3 << all;
        QTest::newRow("STOP with three in flight") << "stop" << 3 << all.mid(0, 3);
        QTest::newRow("two credits known") << "credits" << 2 << all;
        QTest::newRow("a 429 lowers the number in flight") << "429" << 3 << all;
        QTest::newRow("a halt lets the others finish")
            << "halt" << 3 << QStringList{"1", "3", "4", "5", "6", "7"};
    }
    void severalImagesInFlight() {
        QFETCH(QString, how);
        QFETCH(int, maxOpen);
        QFETCH(QStringList, saved);
        Rig rig(true, 3);
        for (int i = 1; i <= 7; ++i) rig.addImage(QStringLiteral("%1.png").arg(i));
        if (how == QLatin1String("credits")) rig.t.credits.setBalances(2, 0, 0);
        bool dark = how == QLatin1String("halt");
        int tooMany = how == QLatin1String("429") ? 1 : 0;
        qint64 answered429 = -1;  // from shortly after this, at most 2 may be open
        rig.onUpload = [&](const RecordedRequest& r) {
            if (dark && sentName(r) == QLatin1String("2.png"))
                return ScriptedReply::bytes(502, "text/html", "<p>").withDelay(300);
            if (tooMany && sentName(r) == QLatin1String("2.png")) {
                --tooMany;
                answered429 = rig.clock.elapsed() + 300;
                return ScriptedReply::json(429, "{}").withDelay(300);
            }
            // The server has more credits than the client knows of.
            return rig.accepted(r).withDelay(300);
        };
        rig.press();
        if (how == QLatin1String("stop")) {
            QTRY_COMPARE(rig.uploads, 3);
            rig.press();
        }
        QVERIFY(rig.startAndSettle(15000, false));
        QCOMPARE(*std::max_element(rig.openAtArrival.begin(), rig.openAtArrival.end()), maxOpen);
        if (answered429 >= 0)
            for (int i = 0; i < rig.openAtArrival.size(); ++i)
                if (rig.arrivedAt.at(i) > answered429 + 100) QVERIFY(rig.openAtArrival.at(i) <= 2);
        QStringList names;
        for (const QString& n : saved) names << "vorpane_output_" + n + ".png";
        QCOMPARE(rig.outputFiles(), names);
        // Each image saved was paid for once.
        for (const QString& n : saved)
            QCOMPARE(rig.uploadedNames().count(n + ".png"),
                     n == QLatin1String("2") && how == QLatin1String("429") ? 2 : 1);
        if (how != QLatin1String("halt")) {
            QCOMPARE(rig.uploadedNames().size(), saved.size() + (how == "429" ? 1 : 0));
            return;
        }
        QCOMPARE(rig.run.runState(), RunState::Halted);
        QCOMPARE(rig.row(1)->status, RowStatus::FailedHalted);
        dark = false;
        const qsizetype before = rig.uploadedNames().size();
        QVERIFY(rig.startAndSettle(15000));
        QCOMPARE(rig.uploadedNames().value(before), "2.png");
        for (const QString& n : saved) QCOMPARE(rig.uploadedNames().count(n + ".png"), 1);
        QCOMPARE(rig.outputFiles().size(), 7);
    }

    // What the scripted server cannot play or see: escapes in the query kept as written (signed
    // addresses), a redirect from https down to loopback http, names that are none (dots,
    // encoded dots, control characters, nothing after the last slash), the longest name.
    void addressRules() {
        QCOMPARE(ResultSaver::resultUrl("https://h/my%20photo.png?sig=a%2Fb").toEncoded(),
                 "https://h/my%20photo.png?sig=a%2Fb");
        QVERIFY(ResultDownload::redirectRefusal(QUrl(QStringLiteral("https://cdn.example/x.png")),
                                                QUrl(QStringLiteral("http://127.0.0.1:9/x.png")))
                    .contains("from https to plain http"));
        for (const char* refused :
             {"https://h/r/..", "https://h/r/", "https://h/r/..%2F..%2Fx.png", "https://h/r/%2e%2e",
              "https://h/r/a%00b.png", "https://h/r/a%0Ab.png"})
            QVERIFY2(ResultSaver::outputFileName(QString::fromLatin1(refused)).isEmpty(), refused);
        const QString longest(255 - ResultSaver::kPrefix.size(), QLatin1Char('n'));
        QCOMPARE(ResultSaver::outputFileName("https://h/" + longest),
                 ResultSaver::kPrefix + longest);
        QVERIFY(ResultSaver::outputFileName("https://h/n" + longest).isEmpty());
    }
};

QTEST_GUILESS_MAIN(PipelineTest)
#include "tst_pipeline.moc"
