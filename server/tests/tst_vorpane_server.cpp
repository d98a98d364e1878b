// Drives a real vorpane-server process over HTTP on 127.0.0.1, the way the
// desktop client and an administrator use it.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <httplib.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kImageLimit = 12582912;  // an image of this many bytes is refused

const cv::Vec3b kBackground(200, 200, 200);  // BGR
const cv::Vec3b kSubject(40, 50, 210);       // BGR, a red subject

// A plain background with a red subject in the middle.
cv::Mat makePhoto(int width, int height) {
    cv::Mat image(height, width, CV_8UC3, cv::Scalar(kBackground));
    cv::ellipse(image, cv::Point(width / 2, height / 2), cv::Size(width / 5, height / 4), 0, 0, 360,
                cv::Scalar(kSubject), cv::FILLED);
    cv::rectangle(
        image, cv::Rect(width / 2 - width / 20, height / 2 - height / 6, width / 10, height / 12),
        cv::Scalar(60, 170, 60), cv::FILLED);
    return image;
}

std::string encode(const cv::Mat& image, const char* extension) {
    std::vector<unsigned char> bytes;
    if (!cv::imencode(extension, image, bytes)) return {};
    return std::string(bytes.begin(), bytes.end());
}

// The JPEG with an EXIF block whose orientation tag says "rotate 90 degrees
// clockwise to display" (6), inserted right after the start-of-image marker.
std::string withExifOrientation6(const std::string& jpeg) {
    const unsigned char tiff[] = {'I',  'I',  42, 0, 8, 0, 0, 0,  // little-endian header
                                  1,    0,                        // one entry
                                  0x12, 0x01, 3,  0, 1, 0, 0, 0,  // Orientation, SHORT, 1
                                  6,    0,    0,  0,              // value 6
                                  0,    0,    0,  0};             // no next IFD
    std::string app1 = "\xFF\xE1";
    const std::size_t length = 2 + 6 + sizeof tiff;
    app1 += static_cast<char>(length >> 8);
    app1 += static_cast<char>(length & 0xFF);
    app1.append("Exif\0\0", 6);
    app1.append(reinterpret_cast<const char*>(tiff), sizeof tiff);
    return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

QJsonObject jsonOf(const httplib::Result& res) {
    return res ? QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).object()
               : QJsonObject();
}

bool isInteger(const QJsonValue& v) {
    return v.isDouble() && v.toDouble() == static_cast<double>(v.toInteger());
}

bool near(const cv::Vec3b& a, const cv::Vec3b& b, int tolerance) {
    for (int c = 0; c < 3; ++c) {
        if (std::abs(int(a[c]) - int(b[c])) > tolerance) return false;
    }
    return true;
}

// One vorpane-server process and what it announced on start.
class ServerProcess final {
public:
    ~ServerProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    bool start(const QStringList& args, bool expectDemoKey) {
        process_.setProgram(QStringLiteral(VORPANE_SERVER_BINARY));
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Should the test die, the server goes with it.
        process_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process_.start();
        if (!process_.waitForStarted(5000)) return false;
        baseUrl = readLine();
        if (expectDemoKey) {
            const QString line = readLine();
            if (line.startsWith(QLatin1String("Demo API key: "))) demoKey = line.mid(14);
        }
        const QUrl url(baseUrl);
        port = url.port();
        return url.isValid() && port > 0;
    }

    // Sends the signal and waits for the exit; true when it exited with 0.
    bool stop(int signal) {
        ::kill(static_cast<pid_t>(process_.processId()), signal);
        return process_.waitForFinished(15000) && process_.exitStatus() == QProcess::NormalExit &&
               process_.exitCode() == 0;
    }

    QString remainingOutput() { return QString::fromUtf8(process_.readAllStandardOutput()); }
    bool running() const { return process_.state() == QProcess::Running; }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(5);
        c.set_read_timeout(60);
        c.set_write_timeout(60);
        return c;
    }

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }

    QString baseUrl;
    QString demoKey;
    int port = 0;

private:
    QString readLine() {
        QElapsedTimer timer;
        timer.start();
        while (!process_.canReadLine() && timer.elapsed() < 10000) {
            process_.waitForReadyRead(100);
        }
        return QString::fromUtf8(process_.readLine()).trimmed();
    }

    QProcess process_;
};

struct Upload {
    std::string key;
    std::optional<std::string> file = std::string();
    std::optional<std::string> format = std::string("png");
    std::optional<std::string> colour;
    bool showCredit = true;
    bool sendKey = true;
};

Upload photoUpload(const std::string& key, const std::string& photo) {
    Upload u;
    u.key = key;
    u.file = photo;
    return u;
}

httplib::Result upload(const ServerProcess& server, const Upload& u) {
    httplib::MultipartFormDataItems items;
    if (u.file) items.push_back({"source_image_file", *u.file, "photo.png", "image/png"});
    items.push_back({"frequenteraug", "mac", "", ""});
    if (u.showCredit) items.push_back({"credit_info", "show", "", ""});
    if (u.format) items.push_back({"format", *u.format, "", ""});
    if (u.colour) items.push_back({"bg_color_code", *u.colour, "", ""});
    httplib::Headers headers;
    if (u.sendKey) headers.emplace("API-KEY", u.key);
    return server.client().Post("/api/v1/remove_image_background", headers, items);
}

httplib::Result postField(const ServerProcess& server, const std::string& endpoint,
                          const std::string& name, const std::string& value) {
    return server.client().Post("/api/v1/" + endpoint,
                                httplib::MultipartFormDataItems{{name, value, "", ""}});
}

struct Credit {
    qint64 free = -1;
    qint64 topup = -1;
    qint64 subscription = -1;
    bool operator==(const Credit& o) const {
        return free == o.free && topup == o.topup && subscription == o.subscription;
    }
};

Credit creditOf(const ServerProcess& server, const std::string& key) {
    const QJsonObject o = jsonOf(postField(server, "credit_check", "api_key", key));
    return {o.value("other_remain_credit").toInteger(-1),
            o.value("pay_as_you _go_plan_remain_credit").toInteger(-1),
            o.value("subscription_plan_remain_credit").toInteger(-1)};
}

}  // namespace

namespace QTest {
template <>
char* toString(const Credit& c) {
    return qstrdup(QStringLiteral("free %1 topup %2 subscription %3")
                       .arg(c.free)
                       .arg(c.topup)
                       .arg(c.subscription)
                       .toUtf8()
                       .constData());
}
}  // namespace QTest

class ServerTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void startupAnnouncesBaseUrlAndDemoKey();
    void keyEndpointsAnswerForEveryKind_data();
    void keyEndpointsAnswerForEveryKind();
    void appVersionFollowsTheSettings();
    void removalMatchesTheRequest_data();
    void removalMatchesTheRequest();
    void exifOrientationIsApplied();
    void chargesFreeThenSubscriptionThenTopUp();
    void concurrentUploadsNeverOverspend();
    void refusedUploadsChargeNothing_data();
    void refusedUploadsChargeNothing();
    void malformedRequestsAreRefusedAndServingGoesOn_data();
    void malformedRequestsAreRefusedAndServingGoesOn();
    void chunkedBodiesAreRefusedUnread();
    void expiredResultsAreRemoved();
    void sigtermStopsTheServerCleanly();

private:
    // Runs an administration command on the test database.
    int cli(const QStringList& args, QString* output = nullptr);
    std::string createKey(qint64 free, qint64 topup, qint64 subscription);
    void expectStillServing();

    QTemporaryDir dir_;
    QString db_;
    ServerProcess server_;
    std::string photoPng_;
};

int ServerTest::cli(const QStringList& args, QString* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(VORPANE_SERVER_BINARY), args + QStringList{"--db", db_});
    if (!p.waitForFinished(15000)) return -1;
    if (output) *output = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

std::string ServerTest::createKey(qint64 free, qint64 topup, qint64 subscription) {
    QString out;
    const int status =
        cli({"key", "create", "--free", QString::number(free), "--topup", QString::number(topup),
             "--subscription", QString::number(subscription)},
            &out);
    return status == 0 ? out.trimmed().toStdString() : std::string();
}

void ServerTest::expectStillServing() {
    const QJsonObject o = jsonOf(postField(server_, "get_app_version", "app_type", "mac"));
    QVERIFY2(o.value("app_version").isString(), "the server stopped answering");
}

void ServerTest::initTestCase() {
    // A server may close a connection while a refused body is still being
    // sent; that must fail the write, not end the test.
    signal(SIGPIPE, SIG_IGN);
    QVERIFY(dir_.isValid());
    db_ = dir_.filePath("data/server.db");  // the folder does not exist yet
    QVERIFY(server_.start({"--port", "0", "--db", db_, "--results-dir", dir_.filePath("results"),
                           "--threads", "8", "--jobs", "8"},
                          true));
    photoPng_ = encode(makePhoto(320, 240), ".png");
    QVERIFY(!photoPng_.empty());
}

void ServerTest::startupAnnouncesBaseUrlAndDemoKey() {
    QVERIFY2(QRegularExpression("^http://127\\.0\\.0\\.1:[1-9][0-9]*/api/v1/$")
                 .match(server_.baseUrl)
                 .hasMatch(),
             qPrintable(server_.baseUrl));
    QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(server_.demoKey).hasMatch(),
             qPrintable(server_.demoKey));
    QCOMPARE(creditOf(server_, server_.demoKey.toStdString()), (Credit{50, 0, 0}));

    // The account page tells how to make a key and shows the demo key.
    auto page = server_.client().Get("/account");
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    QVERIFY(page->get_header_value("Content-Type").rfind("text/html", 0) == 0);
    QVERIFY(page->body.find(server_.demoKey.toStdString()) != std::string::npos);
    QVERIFY(page->body.find("vorpane-server key create") != std::string::npos);

    // A second start on the same database announces no new demo key.
    ServerProcess again;
    QVERIFY(again.start({"--port", "0", "--db", db_, "--quiet"}, false));
    QVERIFY(again.port != server_.port);
    QVERIFY(again.stop(SIGINT));
    QVERIFY(!again.remainingOutput().contains("Demo API key"));
    // A port in use is an error, not a second server sharing it.
    QProcess clash;
    clash.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clash.start(QStringLiteral(VORPANE_SERVER_BINARY),
                {"--port", QString::number(server_.port), "--db", dir_.filePath("other.db")});
    QVERIFY(clash.waitForFinished(10000));
    QVERIFY(clash.exitCode() != 0);
    expectStillServing();

    QString list;
    QCOMPARE(cli({"key", "list"}, &list), 0);
    QVERIFY(list.contains(server_.demoKey + QStringLiteral(" ")));
    QCOMPARE(list.count(QStringLiteral("(demo)")), 1);
}

void ServerTest::keyEndpointsAnswerForEveryKind_data() {
    QTest::addColumn<QString>("keyKind");
    QTest::addColumn<bool>("known");
    QTest::newRow("demo key") << "demo" << true;
    QTest::newRow("unknown key") << "unknown" << false;
    QTest::newRow("empty key") << "empty" << false;
    QTest::newRow("demo key and one character more") << "longer" << false;
}

void ServerTest::keyEndpointsAnswerForEveryKind() {
    QFETCH(QString, keyKind);
    QFETCH(bool, known);
    const std::string demo = server_.demoKey.toStdString();
    std::string k;
    if (keyKind == "demo") k = demo;
    if (keyKind == "unknown") k = "0123456789abcdef0123456789abcdef";
    if (keyKind == "longer") k = demo + "0";

    auto credit = postField(server_, "credit_check", "api_key", k);
    QVERIFY(credit);
    QCOMPARE(credit->status, 200);
    QCOMPARE(credit->get_header_value("Content-Type"), std::string("application/json"));
    const QJsonObject c = jsonOf(credit);
    auto verify = postField(server_, "api_key_verification", "api_key", k);
    QVERIFY(verify);
    const QJsonObject v = jsonOf(verify);
    if (known) {
        // The top-up key carries a space after "you"; the balances are numbers.
        QVERIFY(credit->body.find("\"pay_as_you _go_plan_remain_credit\":") != std::string::npos);
        QVERIFY(isInteger(c.value("other_remain_credit")));
        QVERIFY(isInteger(c.value("pay_as_you _go_plan_remain_credit")));
        QVERIFY(isInteger(c.value("subscription_plan_remain_credit")));
        QCOMPARE(v.value("message").toString(), QStringLiteral("success"));
    } else {
        // An empty key is a missing key, not a wrong one: the app shows no "invalid" alert for it.
        QCOMPARE(c.value("message").toString(),
                 keyKind == "empty" ? QStringLiteral("api key required") : QStringLiteral("invalid api key"));
        QVERIFY(!c.contains("other_remain_credit"));
        QCOMPARE(v.value("message").toString(), QStringLiteral("invalid api key"));
    }

    // Without the field there is nothing to look up.
    for (const char* endpoint : {"credit_check", "api_key_verification"}) {
        auto missing = postField(server_, endpoint, "apikey", k);
        QVERIFY(missing);
        QCOMPARE(missing->status, 400);
        QVERIFY(!jsonOf(missing).value("error").toString().isEmpty());
    }
}

void ServerTest::appVersionFollowsTheSettings() {
    auto reply = [this] {
        return jsonOf(postField(server_, "get_app_version", "app_type", "mac"));
    };
    QCOMPARE(reply().value("app_version").toString(), QStringLiteral("1.0.0"));
    QCOMPARE(reply().value("update_type").toString(), QStringLiteral("none"));

    QCOMPARE(cli({"version", "set", "1.10.2", "--update-type", "soft"}), 0);
    QCOMPARE(reply().value("app_version").toString(), QStringLiteral("1.10.2"));
    QCOMPARE(reply().value("update_type").toString(), QStringLiteral("soft"));

    // A type the client would not understand is refused and changes nothing.
    QVERIFY(cli({"version", "set", "2.0.0", "--update-type", "Hard"}) != 0);
    QCOMPARE(reply().value("app_version").toString(), QStringLiteral("1.10.2"));

    QCOMPARE(cli({"version", "set", "1.0.0", "--update-type", "none"}), 0);
    auto missing = postField(server_, "get_app_version", "type", "mac");
    QVERIFY(missing);
    QCOMPARE(missing->status, 400);
}

void ServerTest::removalMatchesTheRequest_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<bool>("showCredit");
    QTest::newRow("png keeps transparency") << "png" << QString() << true;
    QTest::newRow("png onto a colour") << "png"
                                       << "#0000FF" << false;
    QTest::newRow("jpg onto white") << "jpg" << QString() << true;
    QTest::newRow("jpg onto a colour, lower-case hex") << "jpg"
                                                       << "#00ff80" << true;
}

void ServerTest::removalMatchesTheRequest() {
    QFETCH(QString, format);
    QFETCH(QString, colour);
    QFETCH(bool, showCredit);
    const std::string key = createKey(3, 0, 0);
    QVERIFY(!key.empty());

    Upload u;
    u.key = key;
    u.file = photoPng_;
    u.format = format.toStdString();
    if (!colour.isNull()) u.colour = colour.toStdString();
    u.showCredit = showCredit;
    auto res = upload(server_, u);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    const QJsonObject reply = jsonOf(res);
    const QString url = reply.value("output_image_url").toString();
    const QRegularExpression shape("^" + QRegularExpression::escape(server_.origin()) +
                                   "/results/[0-9a-f]{32}\\." + format + "$");
    QVERIFY2(shape.match(url).hasMatch(), qPrintable(url));
    if (showCredit) {
        QVERIFY(isInteger(reply.value("ff_credit")) && isInteger(reply.value("tp_credit")) &&
                isInteger(reply.value("sp_credit")));
        QCOMPARE(reply.value("ff_credit").toInteger(), 2);
    } else {
        QVERIFY(!reply.contains("ff_credit"));
    }
    QCOMPARE(creditOf(server_, key), (Credit{2, 0, 0}));

    auto image = server_.client().Get(QUrl(url).path().toStdString());
    QVERIFY(image);
    QCOMPARE(image->status, 200);
    QCOMPARE(image->get_header_value("Content-Type"),
             std::string(format == "png" ? "image/png" : "image/jpeg"));
    const cv::Mat result =
        cv::imdecode(cv::Mat(1, static_cast<int>(image->body.size()), CV_8U, image->body.data()),
                     cv::IMREAD_UNCHANGED);
    QCOMPARE(result.cols, 320);
    QCOMPARE(result.rows, 240);

    const cv::Point corners[] = {{2, 2}, {317, 2}, {2, 237}, {317, 237}};
    const cv::Point centre(160, 120 + 30);  // on the red part, clear of the green bar
    const int tolerance = format == "jpg" ? 14 : 1;
    if (format == "png" && colour.isNull()) {
        QCOMPARE(result.channels(), 4);
        for (const cv::Point& p : corners) QCOMPARE(int(result.at<cv::Vec4b>(p)[3]), 0);
        const cv::Vec4b c = result.at<cv::Vec4b>(centre);
        QCOMPARE(int(c[3]), 255);
        QVERIFY(near(cv::Vec3b(c[0], c[1], c[2]), kSubject, tolerance));
    } else {
        QCOMPARE(result.channels(), 3);
        cv::Vec3b expected(255, 255, 255);
        if (!colour.isNull()) {
            const unsigned rgb = colour.mid(1).toUInt(nullptr, 16);
            expected = cv::Vec3b(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
        }
        for (const cv::Point& p : corners) {
            QVERIFY2(near(result.at<cv::Vec3b>(p), expected, tolerance), "corner colour");
        }
        QVERIFY2(near(result.at<cv::Vec3b>(centre), kSubject, tolerance), "subject colour");
    }
}

void ServerTest::exifOrientationIsApplied() {
    const std::string jpeg = withExifOrientation6(encode(makePhoto(320, 240), ".jpg"));
    Upload u;
    u.key = server_.demoKey.toStdString();
    u.file = jpeg;
    u.format = "png";
    auto res = upload(server_, u);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    auto image = server_.client().Get(
        QUrl(jsonOf(res).value("output_image_url").toString()).path().toStdString());
    QVERIFY(image);
    const cv::Mat result =
        cv::imdecode(cv::Mat(1, static_cast<int>(image->body.size()), CV_8U, image->body.data()),
                     cv::IMREAD_UNCHANGED);
    // Shown upright the photo is 240 wide and 320 high.
    QCOMPARE(result.cols, 240);
    QCOMPARE(result.rows, 320);
}

void ServerTest::chargesFreeThenSubscriptionThenTopUp() {
    const std::string key = createKey(1, 1, 1);
    QVERIFY(!key.empty());
    const Credit expected[] = {{0, 1, 1}, {0, 1, 0}, {0, 0, 0}};
    for (const Credit& after : expected) {
        auto res = upload(server_, photoUpload(key, photoPng_));
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        const QJsonObject o = jsonOf(res);
        QCOMPARE((Credit{o.value("ff_credit").toInteger(), o.value("tp_credit").toInteger(),
                         o.value("sp_credit").toInteger()}),
                 after);
    }
    auto refused = upload(server_, photoUpload(key, photoPng_));
    QVERIFY(refused);
    QCOMPARE(refused->status, 402);
    QVERIFY(!jsonOf(refused).value("error").toString().isEmpty());

    // Credits bought later are usable at once.
    QCOMPARE(cli({"key", "set", QString::fromStdString(key), "--topup", "1"}), 0);
    auto again = upload(server_, photoUpload(key, photoPng_));
    QVERIFY(again);
    QCOMPARE(again->status, 200);
    QCOMPARE(creditOf(server_, key), (Credit{0, 0, 0}));
}

void ServerTest::concurrentUploadsNeverOverspend() {
    const std::string key = createKey(4, 3, 3);
    QVERIFY(!key.empty());
    std::atomic<int> succeeded{0};
    std::atomic<int> noCredit{0};
    std::mutex mutex;
    QStringList unexpected;
    std::vector<std::thread> clients;
    for (int i = 0; i < 40; ++i) {
        clients.emplace_back([&] {
            auto res = upload(server_, photoUpload(key, photoPng_));
            if (res && res->status == 200) {
                ++succeeded;
            } else if (res && res->status == 402) {
                ++noCredit;
            } else {
                std::lock_guard<std::mutex> lock(mutex);
                unexpected << (res ? QString::number(res->status)
                                   : QString::fromStdString(httplib::to_string(res.error())));
            }
        });
    }
    for (auto& t : clients) t.join();
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(", ")));
    QCOMPARE(succeeded.load(), 10);
    QCOMPARE(noCredit.load(), 30);
    QCOMPARE(creditOf(server_, key), (Credit{0, 0, 0}));
}

void ServerTest::refusedUploadsChargeNothing_data() {
    QTest::addColumn<QString>("keyKind");  // "good", "unknown", "none"
    QTest::addColumn<QString>("format");   // null: field left out
    QTest::addColumn<QString>("colour");   // null: field left out
    QTest::addColumn<QString>("file");     // see refusedUploadsChargeNothing()
    QTest::addColumn<int>("status");
    QTest::newRow("no key header") << "none"
                                   << "png" << QString() << "photo" << 401;
    QTest::newRow("unknown key") << "unknown"
                                 << "png" << QString() << "photo" << 401;
    QTest::newRow("format gif") << "good"
                                << "gif" << QString() << "photo" << 400;
    QTest::newRow("format upper-case") << "good"
                                       << "PNG" << QString() << "photo" << 400;
    QTest::newRow("no format") << "good" << QString() << QString() << "photo" << 400;
    QTest::newRow("colour of five digits") << "good"
                                           << "png"
                                           << "#12345"
                                           << "photo" << 400;
    QTest::newRow("colour by name") << "good"
                                    << "jpg"
                                    << "#blue00"
                                    << "photo" << 400;
    QTest::newRow("colour without #") << "good"
                                      << "jpg"
                                      << "00FF00"
                                      << "photo" << 400;
    QTest::newRow("no file") << "good"
                             << "png" << QString() << "none" << 400;
    QTest::newRow("empty file") << "good"
                                << "png" << QString() << "empty" << 400;
    QTest::newRow("not an image") << "good"
                                  << "png" << QString() << "text" << 400;
    QTest::newRow("PNG cut after its header") << "good"
                                              << "png" << QString() << "cut" << 400;
    QTest::newRow("picture of 50.4 megapixels") << "good"
                                                << "png" << QString() << "huge" << 400;
    QTest::newRow("12 MiB file") << "good"
                                 << "png" << QString() << "limit" << 413;
    QTest::newRow("one byte under 12 MiB, not an image") << "good"
                                                         << "png" << QString() << "limit-1" << 400;
}

void ServerTest::refusedUploadsChargeNothing() {
    QFETCH(QString, keyKind);
    QFETCH(QString, format);
    QFETCH(QString, colour);
    QFETCH(QString, file);
    QFETCH(int, status);
    const std::string key = createKey(5, 0, 0);
    QVERIFY(!key.empty());

    Upload u;
    u.key = keyKind == "unknown" ? std::string(32, 'f') : key;
    u.sendKey = keyKind != "none";
    u.format = format.isNull() ? std::nullopt : std::optional<std::string>(format.toStdString());
    if (!colour.isNull()) u.colour = colour.toStdString();
    if (file == "photo") u.file = photoPng_;
    if (file == "none") u.file = std::nullopt;
    if (file == "empty") u.file = std::string();
    if (file == "text") {
        static const char notAnImage[] = "\x89PNG\r\n\x1a\n but not really an image";
        u.file = std::string(notAnImage, sizeof notAnImage - 1);
    }
    if (file == "cut") u.file = photoPng_.substr(0, 120);
    if (file == "huge") {
        // A few hundred kilobytes that would decode to 150 MB.
        u.file = encode(cv::Mat(7100, 7100, CV_8UC1, cv::Scalar(0)), ".png");
    }
    if (file == "limit") u.file = std::string(kImageLimit, 'x');
    if (file == "limit-1") u.file = std::string(kImageLimit - 1, 'x');

    auto res = upload(server_, u);
    QVERIFY(res);
    QCOMPARE(res->status, status);
    QCOMPARE(res->get_header_value("Content-Type"), std::string("application/json"));
    QVERIFY(!jsonOf(res).value("error").toString().isEmpty());
    QCOMPARE(creditOf(server_, key), (Credit{5, 0, 0}));
}

void ServerTest::malformedRequestsAreRefusedAndServingGoesOn_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray part =
        "--XyZ\r\nContent-Disposition: form-data; name=\"source_image_file\"; "
        "filename=\"a.png\"\r\nContent-Type: image/png\r\n\r\n";
    QTest::newRow("multipart without boundary")
        << "POST"
        << "/api/v1/remove_image_background"
        << "multipart/form-data" << QByteArray(part + "data\r\n--XyZ--\r\n") << 400;
    QTest::newRow("truncated multipart")
        << "POST"
        << "/api/v1/remove_image_background"
        << "multipart/form-data; boundary=XyZ" << QByteArray(part + "\x89PNG\r\n") << 400;
    QTest::newRow("truncated multipart to credit_check")
        << "POST"
        << "/api/v1/credit_check"
        << "multipart/form-data; boundary=XyZ"
        << QByteArray("--XyZ\r\nContent-Disposition: form-data; name=\"api_") << 400;
    QTest::newRow("JSON instead of a form")
        << "POST"
        << "/api/v1/credit_check"
        << "application/json" << QByteArray("{\"api_key\":\"x\"}") << 400;
    QTest::newRow("body over the limit")
        << "POST"
        << "/api/v1/remove_image_background"
        << "multipart/form-data; boundary=XyZ" << QByteArray(14 * 1024 * 1024, 'x') << 413;
    QTest::newRow("GET on an endpoint")
        << "GET"
        << "/api/v1/remove_image_background" << QString() << QByteArray() << 405;
    QTest::newRow("unknown endpoint") << "POST"
                                      << "/api/v1/remove_background"
                                      << "text/plain" << QByteArray("x") << 404;
    QTest::newRow("unknown result")
        << "GET"
        << "/results/0123456789abcdef0123456789abcdef.png" << QString() << QByteArray() << 404;
    QTest::newRow("path outside the results")
        << "GET"
        << "/results/../data/server.db" << QString() << QByteArray() << 404;
    QTest::newRow("site root") << "GET"
                               << "/" << QString() << QByteArray() << 404;
}

void ServerTest::malformedRequestsAreRefusedAndServingGoesOn() {
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QString, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    httplib::Client client = server_.client();
    httplib::Headers headers{{"API-KEY", server_.demoKey.toStdString()}};
    auto res = method == "GET" ? client.Get(path.toStdString(), headers)
                               : client.Post(path.toStdString(), headers, body.toStdString(),
                                             contentType.toStdString());
    QVERIFY(res);
    QCOMPARE(res->status, status);
    QCOMPARE(res->get_header_value("Content-Type"), std::string("application/json"));
    QVERIFY(!jsonOf(res).value("error").toString().isEmpty());
    expectStillServing();
}

void ServerTest::chunkedBodiesAreRefusedUnread() {
    // A body without a declared length could be any size; the refusal comes
    // as soon as the headers are in, before any of the body is taken.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(server_.port));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(
        "POST /api/v1/remove_image_background HTTP/1.1\r\nHost: x\r\n"
        "API-KEY: " +
        server_.demoKey.toUtf8() +
        "\r\nTransfer-Encoding: chunked\r\n"
        "Content-Type: multipart/form-data; boundary=XyZ\r\n\r\n7\r\n--XyZ\r\n\r\n");
    QByteArray reply;
    QElapsedTimer timer;
    timer.start();
    while (!reply.contains("}") && timer.elapsed() < 10000) {
        socket.waitForReadyRead(100);
        reply += socket.readAll();
    }
    socket.abort();
    QVERIFY2(reply.startsWith("HTTP/1.1 411 "), reply.constData());
    const QByteArray json = reply.mid(reply.indexOf("\r\n\r\n") + 4);
    QVERIFY(!QJsonDocument::fromJson(json).object().value("error").toString().isEmpty());
    expectStillServing();
}

void ServerTest::expiredResultsAreRemoved() {
    // A server of its own, whose results live three seconds.
    QTemporaryDir dir;
    const QString results = dir.filePath("results");
    ServerProcess shortLived;
    QVERIFY(shortLived.start({"--port", "0", "--db", dir.filePath("server.db"), "--results-dir",
                              results, "--result-ttl", "3"},
                             true));
    Upload u;
    u.key = shortLived.demoKey.toStdString();
    u.file = photoPng_;
    auto res = upload(shortLived, u);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    const std::string path =
        QUrl(jsonOf(res).value("output_image_url").toString()).path().toStdString();
    auto fresh = shortLived.client().Get(path);
    QVERIFY(fresh);
    QCOMPARE(fresh->status, 200);

    // The sweep removes the file without anyone asking for it.
    QTRY_COMPARE_WITH_TIMEOUT(QDir(results).entryList(QDir::Files).size(), 0, 8000);
    auto gone = shortLived.client().Get(path);
    QVERIFY(gone);
    QCOMPARE(gone->status, 404);
    QVERIFY(shortLived.stop(SIGINT));
}

void ServerTest::sigtermStopsTheServerCleanly() {
    // A client that hangs up halfway through its body must not disturb the end.
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(server_.port));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(
        "POST /api/v1/credit_check HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n"
        "Content-Type: multipart/form-data; boundary=XyZ\r\n\r\n--XyZ\r\n");
    QVERIFY(socket.waitForBytesWritten(5000));
    socket.abort();
    expectStillServing();

    QVERIFY(server_.stop(SIGTERM));
    QVERIFY(!server_.running());
}

QTEST_GUILESS_MAIN(ServerTest)
#include "tst_vorpane_server.moc"
