// Drives a real vorpane-server process over HTTP on 127.0.0.1, the way the desktop client and an
// administrator use it.

#include <QtTest>

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

namespace {

using Text = std::optional<std::string>;
const cv::Vec3b kSubject(40, 50, 210);  // BGR, a red subject

std::string encode(const cv::Mat& image, const char* extension) {
    std::vector<unsigned char> bytes;
    cv::imencode(extension, image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

// A 320x240 plain grey background with a red subject in the middle, a green bar on its top half.
std::string photo(const char* extension) {
    cv::Mat image(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::ellipse(image, {160, 120}, {64, 60}, 0, 0, 360, cv::Scalar(kSubject), cv::FILLED);
    cv::rectangle(image, cv::Rect(144, 80, 32, 20), cv::Scalar(60, 170, 60), cv::FILLED);
    return encode(image, extension);
}

// The JPEG with an EXIF block whose orientation (6) says "turn 90 degrees clockwise to display".
std::string withExifOrientation6(const std::string& jpeg) {
    static const char app1[] =
        "\xFF\xE1\x00\x22"
        "Exif\0\0II*\0\x08\0\0\0\x01\0"
        "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0";
    return jpeg.substr(0, 2) + std::string(app1, sizeof app1 - 1) + jpeg.substr(2);
}

QJsonObject jsonOf(const httplib::Result& res) {
    return QJsonDocument::fromJson(res ? QByteArray::fromStdString(res->body) : "").object();
}

// "STATUS CONTENT-TYPE", then " error" when the JSON body carries a non-empty "error" text.
QString answer(const httplib::Result& res) {
    if (!res) return QString::fromStdString(httplib::to_string(res.error()));
    return QString::fromStdString(std::to_string(res->status) + " " +
                                  res->get_header_value("Content-Type")) +
           (jsonOf(res).value("error").toString().isEmpty() ? "" : " error");
}

// The named integers as "a/b/c"; -1 for one that is missing or not an integer.
QString integers(const QJsonObject& o, std::initializer_list<const char*> keys) {
    QStringList out;
    for (const char* key : keys) out << QString::number(o.value(QLatin1String(key)).toInteger(-1));
    return out.join('/');
}

// A raw TCP connection to 127.0.0.1, for what an HTTP library would not send.
struct RawConnection {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);

    explicit RawConnection(int port) {
        sockaddr_in a{AF_INET, htons(quint16(port)), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
    }
    ~RawConnection() { close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // A blocking send: all of it, unless the server has closed the connection.
    bool send(const std::string& data) {
        return fd >= 0 &&
               ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
    }
    // What arrives until the server closes its end, or until the time is up; with untilReply,
    // only until one complete JSON reply is in.
    std::string receive(int timeoutMs, bool untilReply = false) {
        std::string in;
        char buffer[65536];
        for (QDeadlineTimer end(timeoutMs); !(untilReply && !in.empty() && in.back() == '}');) {
            pollfd p{fd, POLLIN, 0};
            if (fd < 0 || end.hasExpired() || ::poll(&p, 1, int(end.remainingTime())) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            in.append(buffer, std::size_t(n));
        }
        return in;
    }
    void close() {
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }
};

// A request head as a raw connection sends it: the request line, Host, the headers, then with a
// type those that announce the body.
std::string head(const std::string& line, const std::string& headers, const char* type = nullptr,
                 const std::string& body = "") {
    return line + " HTTP/1.1\r\nHost: x\r\n" + headers +
           (type ? "Content-Type: " + std::string(type) +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"
                 : "") +
           "\r\n";
}

// One vorpane-server process and what it announced on start.
struct ServerProcess {
    ~ServerProcess() {
        process.kill();
        process.waitForFinished(5000);
    }

    // The protocol is tested on the classical cut-out unless a model is named.
    bool start(QStringList args, bool expectDemoKey) {
        if (!findsModel && !args.contains("--model")) args << "--no-model";
        if (forwardErrors) process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(QStringLiteral(VORPANE_SERVER_BINARY), args);
        baseUrl = readLine();
        if (expectDemoKey) demoKey = readLine().remove(QStringLiteral("Demo API key: "));
        port = QUrl(baseUrl).port();
        return port > 0;
    }
    QString readLine() {
        for (int i = 0; i < 100 && !process.canReadLine(); ++i) process.waitForReadyRead(100);
        return QString::fromUtf8(process.readLine()).trimmed();
    }

    // Sends the signal; true when the server then exits with 0.
    bool stop(int signal) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        return process.waitForFinished(15000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    // The server's peak resident memory in KiB.
    long peakMemoryKb() const {
        std::ifstream status("/proc/" + std::to_string(process.processId()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(60);
        c.set_write_timeout(60);
        return c;
    }

    httplib::Result post(const std::string& endpoint, const std::string& name,
                         const std::string& value) const {
        return client().Post("/api/v1/" + endpoint,
                             httplib::MultipartFormDataItems{{name, value, "", ""}});
    }

    QString creditOf(const std::string& key) const {
        return integers(jsonOf(post("credit_check", "api_key", key)),
                        {"other_remain_credit", "pay_as_you _go_plan_remain_credit",
                         "subscription_plan_remain_credit"});
    }

    httplib::Result upload(const Text& key, const Text& file, const Text& format = "png",
                           const Text& colour = {}, bool showCredit = true,
                           const std::string& fileName = "photo.png") const {
        httplib::MultipartFormDataItems items;
        if (file) items.push_back({"source_image_file", *file, fileName, "image/png"});
        items.push_back({"frequenteraug", "mac", "", ""});
        if (showCredit) items.push_back({"credit_info", "show", "", ""});
        if (format) items.push_back({"format", *format, "", ""});
        if (colour) items.push_back({"bg_color_code", *colour, "", ""});
        httplib::Headers headers;
        if (key) headers.emplace("API-KEY", *key);
        return client().Post("/api/v1/remove_image_background", headers, items);
    }

    // The image a reply's "output_image_url" names, as the server serves it.
    httplib::Result resultOf(const httplib::Result& res) const {
        return client().Get(
            QUrl(jsonOf(res).value("output_image_url").toString()).path().toStdString());
    }

    QProcess process;
    bool forwardErrors = true;  // else kept for the test to read
    bool findsModel = false;  // looks for the installed model as a user's server does
    QString baseUrl, demoKey;
    int port = 0;
};

const std::string kPhoto = photo(".png");
// A few hundred kilobytes that would decode to 150 MB.
const std::string kHuge = encode(cv::Mat(7100, 7100, CV_8UC1, cv::Scalar(0)), ".png");
const std::string kLimit(12 << 20, 'x');  // 12 MiB: too large, whatever it holds

struct Refused {
    const char* name;
    Text key, format, colour, file;  // nullopt: left out; an empty key: one with 5 free credits
    const char* answer;
};
const Refused kRefused[] = {
    {"no key header", {}, "png", {}, kPhoto, "401"},
    {"unknown key", "0123456789abcdef0123456789abcdef", "png", {}, kPhoto, "401"},
    {"format gif", "", "gif", {}, kPhoto, "400"},
    {"no format", "", {}, {}, kPhoto, "400"},
    {"colour of five digits", "", "png", "#12345", kPhoto, "400"},
    {"colour by name", "", "jpg", "#blue00", kPhoto, "400"},
    {"colour without #", "", "jpg", "00FF00", kPhoto, "400"},
    {"no file", "", "png", {}, {}, "400"},
    {"empty file", "", "png", {}, "", "400"},
    {"not an image", "", "png", {}, "\x89PNG\r\n\x1a\n but not really an image", "400"},
    {"PNG cut after its header", "", "png", {}, kPhoto.substr(0, 120), "400"},
    {"picture of 50.4 megapixels", "", "png", {}, kHuge, "400"},
    {"12 MiB file", "", "png", {}, kLimit, "413"},
    {"one byte under 12 MiB, not an image", "", "png", {}, kLimit.substr(1), "400"},
};

// Uploads that succeed: the format and colour asked for, and the uploaded file's name, made
// safe, for the result's name.
struct Removal {
    const char* name;
    bool exif;  // a JPEG stored on its side, turned upright by EXIF
    const char* format;
    Text colour;
    bool showCredit;
    std::string fileName, stem;
};
const Removal kRemovals[] = {
    {"png, transparent; spaces", false, "png", {}, true, "holiday beach.jpg", "holiday_beach"},
    {"png onto a colour; unicode", false, "png", "#0000FF", false, "\xC3\x89t\xC3\xA9 2.png",
     "_t__2"},
    {"jpg onto white; a path", false, "jpg", {}, true, "../x", "x"},
    {"jpg onto lower-case hex; dot file", false, "jpg", "#00ff80", true, ".hidden", "hidden"},
    {"EXIF turned upright; 300 characters",
     true,
     "png",
     {},
     true,
     std::string(300, 'a') + ".png",
     std::string(100, 'a')},
    {"png; no extension", false, "png", {}, false, "README", "README"},
    {"jpg; no name", false, "jpg", {}, true, "", "image"},
};

constexpr const char* kRemove = "POST /api/v1/remove_image_background";
constexpr const char* kCredit = "POST /api/v1/credit_check";
constexpr const char* kForm = "multipart/form-data; boundary=XyZ";
constexpr const char* kUrlForm = "application/x-www-form-urlencoded";
const std::string kFilePart =
    "--XyZ\r\nContent-Disposition: form-data; name=\"source_image_file\"; "
    "filename=\"a.png\"\r\nContent-Type: image/png\r\n\r\n";
std::string fillerHeaders(int count, int length) {
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += "X-Filler-" + std::to_string(i) + ": " + std::string(length, 'v') + "\r\n";
    return lines;
}
// 64 KiB that would inflate to 64 MiB.
const std::string kBomb = qCompress(QByteArray(64 << 20, '\0'), 9).mid(4).toStdString();

// Requests refused with a JSON error, some of them ones an HTTP library would not send.
struct BadRequest {
    const char* name;
    std::string requestLine;
    const char* type;  // with a Content-Length for the body; none: the headers are all given
    std::string headers, body;
    const char* status;
};
const std::string kUrlFormType = std::string("Content-Type: ") + kUrlForm + "\r\n";
const BadRequest kBadRequests[] = {
    {"multipart without boundary", kRemove, "multipart/form-data", "",
     kFilePart + "data\r\n--XyZ--\r\n", "400"},
    {"truncated multipart", kRemove, kForm, "", kFilePart + "\x89PNG\r\n", "400"},
    {"truncated multipart to credit_check", kCredit, kForm, "",
     "--XyZ\r\nContent-Disposition: form-data; name=\"api_", "400"},
    {"JSON instead of a form", kCredit, "application/json", "", "{\"api_key\":\"x\"}", "400"},
    {"credit_check without api_key", kCredit, kUrlForm, "", "apikey=x", "400"},
    {"api_key_verification without api_key", "POST /api/v1/api_key_verification", kUrlForm, "",
     "apikey=x", "400"},
    {"get_app_version without app_type", "POST /api/v1/get_app_version", kUrlForm, "", "x=y",
     "400"},
    {"body over the limit", kRemove, kForm, "", std::string(14 << 20, 'x'), "413"},
    {"declared length of 10^12", kCredit, nullptr,
     kUrlFormType + "Content-Length: 1000000000000\r\n", "", "413"},
    {"compressed body", kCredit, kUrlForm, "Content-Encoding: gzip\r\n", kBomb, "415"},
    {"body without a length", kCredit, nullptr, kUrlFormType,
     "api_key=" + std::string(1 << 20, 'k'), "411"},
    {"chunked body", kCredit, nullptr, "Transfer-Encoding: chunked\r\n" + kUrlFormType,
     "7\r\napi_key\r\n", "411"},
    {"200 header lines", kCredit, nullptr, fillerHeaders(200, 8) + "Content-Length: 0\r\n", "",
     "431"},
    {"17 KiB of headers", kCredit, nullptr, fillerHeaders(17, 1024) + "Content-Length: 0\r\n", "",
     "431"},
    {"GET on an endpoint", "GET /api/v1/remove_image_background", nullptr, "", "", "405"},
    {"unknown endpoint", "POST /api/v1/remove_background", "text/plain", "", "x", "404"},
    {"path outside the results", "GET /results/../data/server.db", nullptr, "", "", "404"},
    {"site root", "GET /", nullptr, "", "", "404"},
};

// One row per entry of a table, named after it; the test reads the entry by its index.
template <typename Row, std::size_t N>
void rowsOf(const Row (&table)[N]) {
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < N; ++i) QTest::newRow(table[i].name) << int(i);
}

}  // namespace

class ServerTest final : public QObject {
    Q_OBJECT

    // Runs an administration command on the test database; -1 when it did not exit normally.
    int cli(const QStringList& args, QString* output = nullptr) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QStringLiteral(VORPANE_SERVER_BINARY), args + QStringList{"--db", db_});
        if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit) return -1;
        if (output) *output = QString::fromUtf8(p.readAllStandardOutput());
        return p.exitCode();
    }
    std::string createKey(const char* free, const char* topUp, const char* subscription) {
        QString out;
        cli({"key", "create", "--free", free, "--topup", topUp, "--subscription", subscription},
            &out);
        return out.trimmed().toStdString();
    }
    void expectStillServing() {
        QVERIFY2(jsonOf(server_.post("get_app_version", "app_type", "mac")).contains("app_version"),
                 "the server stopped answering");
    }
    QTemporaryDir dir_;
    QString db_ = dir_.filePath("data/server.db");  // the folder does not exist yet
    ServerProcess server_;

private slots:
    void initTestCase() {
        // A connection closed on a refused body still being sent must fail the write, not the test.
        signal(SIGPIPE, SIG_IGN);
        QVERIFY(server_.start({"--port", "0", "--db", db_, "--results-dir",
                               dir_.filePath("results"), "--threads", "8", "--jobs", "8"},
                              true));
        QCOMPARE(server_.baseUrl, QStringLiteral("http://127.0.0.1:%1/api/v1/").arg(server_.port));
    }

    void accountPageAndKeyList_data() {
        QTest::addColumn<QString>("forwardedFor");  // what a proxy on this computer adds
        QTest::addColumn<bool>("local");
        QTest::newRow("direct") << QString() << true;
        QTest::newRow("through a proxy, for this computer") << "127.0.0.1" << true;
        QTest::newRow("through a proxy, for another") << "192.0.2.7" << false;
        QTest::newRow("another behind a forged header") << "127.0.0.1, 192.0.2.7" << false;
    }

    void accountPageAndKeyList() {
        QFETCH(QString, forwardedFor);
        QFETCH(bool, local);
        httplib::Headers headers;
        if (!forwardedFor.isEmpty()) headers.emplace("X-Forwarded-For", forwardedFor.toStdString());
        // Keys and the database only for a client on this computer; the address for everyone.
        auto page = server_.client().Get("/account", headers);
        QVERIFY(answer(page).startsWith("200 text/html"));
        QCOMPARE(page->body.find(server_.demoKey.toStdString()) != std::string::npos, local);
        QCOMPARE(page->body.find(db_.toStdString()) != std::string::npos, local);
        QVERIFY(page->body.find(server_.baseUrl.toStdString()) != std::string::npos);
        QString list;
        QCOMPARE(cli({"key", "list"}, &list), 0);
        QVERIFY(list.contains(server_.demoKey + QStringLiteral(" ")));
        QCOMPARE(list.count(QStringLiteral("(demo)")), 1);
    }

    void exposureNeedsATlsProxy_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("refusal");  // empty: it starts
        auto row = [](const char* name, QStringList args, const char* refusal) {
            QTest::newRow(name) << args << QString(refusal);
        };
        row("every interface", {"--host", "0.0.0.0"}, "--public-url https://");
        row("an interface's address", {"--host", "192.0.2.1"}, "--public-url https://");
        row("every interface, plain http",
            {"--host", "::", "--public-url", "http://cutouts.example.com/"}, "must use https");
        row("a public URL with a path", {"--public-url", "https://example.com/cutouts/"},
            "no path");
        row("a public URL without a scheme", {"--public-url", "cutouts.example.com"}, "https");
        row("loopback behind a proxy", {"--public-url", "https://Cutouts.example.com:8443/"}, "");
    }

    // Listening beyond this computer only behind TLS; behind a proxy, the replies name the
    // proxy's address.
    void exposureNeedsATlsProxy() {
        QFETCH(QStringList, args);
        QFETCH(QString, refusal);
        ServerProcess s;
        s.forwardErrors = false;
        const bool started =
            s.start(args + QStringList{"--port", "0", "--db", db_, "--quiet"}, false);
        if (!refusal.isEmpty()) {
            QVERIFY(!started);
            QVERIFY(s.process.state() == QProcess::NotRunning || s.process.waitForFinished(5000));
            QCOMPARE(s.process.exitCode(), 2);
            const QString error = QString::fromUtf8(s.process.readAllStandardError());
            QVERIFY2(error.contains(refusal), qPrintable(error));
            return;
        }
        QVERIFY(started);
        const QString origin = QStringLiteral("https://cutouts.example.com:8443");
        const auto res = s.upload(createKey("1", "0", "0"), kPhoto);
        const QString url = jsonOf(res).value("output_image_url").toString();
        QVERIFY2(url.startsWith(origin + "/results/"), qPrintable(url));
        QCOMPARE(answer(s.resultOf(res)), QStringLiteral("200 image/png"));
        const auto page = s.client().Get("/account");
        QVERIFY(page->body.find((origin + "/api/v1/").toStdString()) != std::string::npos);
    }

    void badRequestsAreRefusedAtOnce_data() { rowsOf(kBadRequests); }

    // Refused without taking in a body the server will not use, and serving goes on.
    void badRequestsAreRefusedAtOnce() {
        QFETCH(int, row);
        const BadRequest& r = kBadRequests[row];
        const long peakBefore = server_.peakMemoryKb();
        RawConnection c(server_.port);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(c.send(head(r.requestLine, r.headers, r.type, r.body)));
        c.send(r.body);  // the server may have answered already
        const QString reply = QString::fromStdString(c.receive(3000, true));
        QVERIFY2(reply.startsWith(QStringLiteral("HTTP/1.1 %1 ").arg(r.status)) &&
                     reply.contains("Content-Type: application/json") &&
                     reply.contains("{\"error\":\""),
                 qPrintable(reply.left(200)));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(server_.peakMemoryKb() - peakBefore < 16 * 1024, "the body was taken in");
        expectStillServing();
    }

    void slowAndIdleClientsHoldNoThread() {
        // Against a server of 8 threads: 16 clients sending their head a byte at a time, 16
        // idle on a kept-alive connection after a reply and 16 that never send anything.
        std::vector<std::unique_ptr<RawConnection>> held, slow;
        for (int i = 0; i < 16; ++i) {
            held.push_back(std::make_unique<RawConnection>(server_.port));
            QVERIFY(held.back()->send(head(kCredit, "", kUrlForm, "api_key=x") + "api_key=x"));
            QVERIFY(held.back()->receive(5000, true).find("invalid api key") != std::string::npos);
            held.push_back(std::make_unique<RawConnection>(server_.port));
            slow.push_back(std::make_unique<RawConnection>(server_.port));
            QVERIFY(slow.back()->send("POST /api/v1/credit_check HTTP/1.1\r\n"));
        }
        QStringList answers;
        for (int i = 0; i < 5; ++i) {
            for (auto& c : slow) c->send("X");
            QElapsedTimer timer;
            timer.start();
            answers << answer(server_.post("credit_check", "api_key", "x"));
            if (timer.elapsed() >= 1000)
                answers.last() += QString(" in %1 ms").arg(timer.elapsed());
        }
        QCOMPARE(answers, QStringList(5, QStringLiteral("200 application/json")));
    }

    void removalsArePaidOnlyWhenDelivered_data() {
        QTest::addColumn<bool>("halfClose");
        QTest::newRow("closed after the upload") << false;
        QTest::newRow("half-closed after the upload") << true;
    }

    void removalsArePaidOnlyWhenDelivered() {
        QFETCH(bool, halfClose);
        const std::string key = createKey("3", "0", "0");
        const QDir results(dir_.filePath("results"));
        const auto filesBefore = results.entryList(QDir::Files).size();
        const std::string body = kFilePart + kPhoto +
                                 "\r\n--XyZ\r\nContent-Disposition: form-data; "
                                 "name=\"format\"\r\n\r\npng\r\n--XyZ--\r\n";
        RawConnection c(server_.port);
        QVERIFY(c.send(head(kRemove, "API-KEY: " + key + "\r\n", kForm, body) + body));
        if (halfClose) {
            // Done sending, still reading: answered and charged, the result kept.
            ::shutdown(c.fd, SHUT_WR);
            const std::string reply = c.receive(10000);
            QVERIFY2(reply.rfind("HTTP/1.1 200 ", 0) == 0 &&
                         reply.find("\"output_image_url\"") != std::string::npos,
                     reply.c_str());
            QCOMPARE(server_.creditOf(key), QStringLiteral("2/0/0"));
            QCOMPARE(results.entryList(QDir::Files).size(), filesBefore + 1);
        } else {
            c.close();
            QTest::qWait(1000);  // the removal takes a few milliseconds
            QTRY_COMPARE_WITH_TIMEOUT(server_.creditOf(key), QStringLiteral("3/0/0"), 3000);
            QCOMPARE(results.entryList(QDir::Files).size(), filesBefore);
        }
    }

    void keyEndpoints_data() {
        QTest::addColumn<std::string>("key");
        QTest::addColumn<QString>("creditMessage");  // empty: the balances come back
        QTest::addColumn<QString>("verifyMessage");
        const std::string demo = server_.demoKey.toStdString();
        auto row = [](const char* name, std::string key, const char* credit, const char* verify) {
            QTest::newRow(name) << key << QString(credit) << QString(verify);
        };
        row("demo key", demo, "", "success");
        row("unknown key", std::string(32, 'f'), "invalid api key", "invalid api key");
        // An empty key is a missing key, not a wrong one: the app shows no "invalid" alert for it.
        row("empty key", "", "api key required", "invalid api key");
        row("demo key and one character more", demo + "0", "invalid api key", "invalid api key");
    }

    void keyEndpoints() {
        QFETCH(std::string, key);
        QFETCH(QString, creditMessage);
        QFETCH(QString, verifyMessage);
        auto credit = server_.post("credit_check", "api_key", key);
        QCOMPARE(answer(credit), QStringLiteral("200 application/json"));
        QCOMPARE(jsonOf(credit).value("message").toString(), creditMessage);
        QCOMPARE(server_.creditOf(key), creditMessage.isEmpty() ? "50/0/0" : "-1/-1/-1");
        const QJsonObject verify = jsonOf(server_.post("api_key_verification", "api_key", key));
        QCOMPARE(verify.value("message").toString(), verifyMessage);
    }

    void appVersionFollowsTheSettings() {
        auto reply = [this] {
            const QJsonObject o = jsonOf(server_.post("get_app_version", "app_type", "mac"));
            return o.value("app_version").toString() + " " + o.value("update_type").toString();
        };
        QCOMPARE(reply(), QStringLiteral("1.0.0 none"));
        QCOMPARE(cli({"version", "set", "1.10.2", "--update-type", "soft"}), 0);
        QCOMPARE(reply(), QStringLiteral("1.10.2 soft"));
        // A type the client would not understand is refused and changes nothing.
        QVERIFY(cli({"version", "set", "2.0.0", "--update-type", "Hard"}) != 0);
        QCOMPARE(reply(), QStringLiteral("1.10.2 soft"));
    }

    void removal_data() { rowsOf(kRemovals); }

    void removal() {
        QFETCH(int, row);
        const Removal& r = kRemovals[row];
        const std::string format = r.format;
        auto res = server_.upload(createKey("3", "0", "0"),
                                  r.exif ? withExifOrientation6(photo(".jpg")) : kPhoto, format,
                                  r.colour, r.showCredit, r.fileName);
        QCOMPARE(answer(res), QStringLiteral("200 application/json"));
        const QString url = jsonOf(res).value("output_image_url").toString();
        const QRegularExpression shape(
            QString("^http://127\\.0\\.0\\.1:%1/results/[0-9a-f]{32}/").arg(server_.port) +
            QRegularExpression::escape(r.stem.c_str()) + "\\." + r.format + "$");
        QVERIFY2(shape.match(url).hasMatch(), qPrintable(url));
        // Only the random part finds a result; the name is for the person saving it.
        const std::string renamed = QUrl(url).path().section('/', 0, -2).toStdString() + "/a.png";
        QCOMPARE(answer(server_.client().Get(renamed)),
                 QStringLiteral("404 application/json error"));
        QCOMPARE(integers(jsonOf(res), {"ff_credit", "tp_credit", "sp_credit"}),
                 r.showCredit ? "2/0/0" : "-1/-1/-1");

        auto image = server_.resultOf(res);
        QCOMPARE(answer(image), "200 image/" + QString(format == "png" ? "png" : "jpeg"));
        cv::Mat result = cv::imdecode(
            cv::Mat(1, int(image->body.size()), CV_8U, image->body.data()), cv::IMREAD_UNCHANGED);
        const bool transparent = format == "png" && !r.colour;
        QCOMPARE(result.channels(), transparent ? 4 : 3);
        if (!transparent) cv::cvtColor(result, result, cv::COLOR_BGR2BGRA);
        // Shown upright the EXIF photo is 240 wide and 320 high.
        const int w = r.exif ? 240 : 320, h = r.exif ? 320 : 240;
        QCOMPARE(QSize(result.cols, result.rows), QSize(w, h));
        const unsigned long rgb =
            r.colour ? std::stoul(r.colour->substr(1), nullptr, 16) : 0xFFFFFF;
        const cv::Vec3b backdrop(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
        const int tolerance = r.exif || format == "jpg" ? 14 : 1;
        // Opaque in the expected colour, but for the backdrop of a png without a colour.
        auto shows = [&](cv::Point p, bool subject) {
            const cv::Vec4b v = result.at<cv::Vec4b>(p);
            if (!subject && transparent) return v[3] == 0;
            const cv::Vec3d error =
                cv::Vec3d(v[0], v[1], v[2]) - cv::Vec3d(subject ? kSubject : backdrop);
            return v[3] == 255 && cv::norm(error, cv::NORM_INF) <= tolerance;
        };
        for (cv::Point p : {cv::Point(2, 2), {w - 3, 2}, {2, h - 3}, {w - 3, h - 3}})
            QVERIFY2(shows(p, false), "corner");
        QVERIFY2(shows(r.exif ? cv::Point(90, 160) : cv::Point(160, 150), true), "subject");
    }

    void creditsAreChargedOnceEach() {
        const std::string key = createKey("1", "1", "1");
        // Free credits go first, then the subscription, then the top-up.
        for (const char* after : {"0/1/1", "0/1/0", "0/0/0"})
            QCOMPARE(integers(jsonOf(server_.upload(key, kPhoto)),
                              {"ff_credit", "tp_credit", "sp_credit"}),
                     after);
        QCOMPARE(answer(server_.upload(key, kPhoto)), QStringLiteral("402 application/json error"));
        // Credits given later are usable at once, and uploads at the same time never overspend.
        QCOMPARE(cli({"key", "set", QString::fromStdString(key), "--free", "4", "--topup", "3",
                      "--subscription", "3"}),
                 0);
        std::vector<QString> answers(40);
        std::vector<std::thread> clients;
        for (QString& a : answers)
            clients.emplace_back([&] { a = answer(server_.upload(key, kPhoto)); });
        for (auto& t : clients) t.join();
        QCOMPARE(int(std::count(answers.begin(), answers.end(), "200 application/json")), 10);
        QCOMPARE(int(std::count(answers.begin(), answers.end(), "402 application/json error")), 30);
        QCOMPARE(server_.creditOf(key), QStringLiteral("0/0/0"));
    }

    void refusedUploadsChargeNothing_data() { rowsOf(kRefused); }

    void refusedUploadsChargeNothing() {
        QFETCH(int, row);
        const Refused& r = kRefused[row];
        const std::string key = createKey("5", "0", "0");
        auto res = server_.upload(r.key == "" ? key : r.key, r.file, r.format, r.colour);
        QCOMPARE(answer(res), r.answer + QStringLiteral(" application/json error"));
        QCOMPARE(server_.creditOf(key), QStringLiteral("5/0/0"));
    }

    // A service that drops half of the requests, on the way in or on the way out: a client that
    // tries again until it has its answer pays once per image.
    void droppedAnswersAreNotCharged() {
        ServerProcess flaky;
        QVERIFY(flaky.start({"--port", "0", "--db", db_, "--drop", "50", "--quiet"}, false));
        const std::string key = createKey("30", "0", "0");
        int attempts = 0;
        for (int image = 0; image < 10; ++image) {
            while (true) {
                QVERIFY(++attempts < 100);
                if (const httplib::Result res = flaky.upload(key, kPhoto)) {
                    QCOMPARE(answer(res), QStringLiteral("200 application/json"));
                    break;
                }
            }
        }
        QVERIFY2(attempts > 12, qPrintable(QString::number(attempts)));
        QCOMPARE(server_.creditOf(key), QStringLiteral("20/0/0"));

        // Nor does a service killed while it works on a photo (12 megapixels: about a second).
        cv::Mat large(3000, 4000, CV_8UC3, cv::Scalar(200, 200, 200));
        cv::ellipse(large, {2000, 1500}, {800, 750}, 0, 0, 360, cv::Scalar(kSubject), cv::FILLED);
        const std::string largeJpeg = encode(large, ".jpg");
        ServerProcess killed;
        QVERIFY(killed.start({"--port", "0", "--db", db_, "--quiet"}, false));
        std::thread upload([&] { killed.upload(key, largeJpeg); });
        QTest::qWait(500);
        killed.process.kill();
        upload.join();
        QCOMPARE(server_.creditOf(key), QStringLiteral("20/0/0"));
    }

    // Without a usable model the server says why in one line and cuts out the classical way.
    void withoutAModel_data() {
        QTest::addColumn<QString>("model");  // empty: none installed
        QTest::addColumn<QString>("line");
        QTest::newRow("none installed") << ""
                                        << "No segmentation model installed: classical cut-outs. "
                                           "scripts/get-model installs one.";
        QTest::newRow("a damaged file")
            << "damaged.onnx"
            << "vorpane-server: the segmentation model %1 is not usable: OpenCV cannot read it";
    }

    void withoutAModel() {
        QFETCH(QString, model);
        QFETCH(QString, line);
        ServerProcess server;
        QStringList args{"--port", "0", "--db", db_, "--quiet"};
        if (!model.isEmpty()) {
            model = dir_.filePath(model);
            QFile damaged(model);
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write("ONNX, but cut short");
            QFile json(dir_.filePath("damaged.json"));
            QVERIFY(json.open(QIODevice::WriteOnly));
            json.write("{}");
            args << "--model" << model;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", dir_.filePath("empty-data-home"));
        server.process.setProcessEnvironment(env);
        server.forwardErrors = false;
        server.findsModel = true;
        QVERIFY(server.start(args, false));
        // The line comes before the address.
        const QString first =
            QString::fromUtf8(server.process.readAllStandardError()).section('\n', 0, 0);
        QVERIFY2(first.startsWith(line.arg(model)), qPrintable(first));
        const auto res = server.upload(server_.demoKey.toStdString(), kPhoto);
        QCOMPARE(answer(server.resultOf(res)), QStringLiteral("200 image/png"));
    }

    void expiredResultsAreRemoved() {
        // A second server on the same database (so no new demo key); results live three seconds.
        const QString results = dir_.filePath("short-lived");
        ServerProcess shortLived;
        QVERIFY(shortLived.start(
            {"--port", "0", "--db", db_, "--results-dir", results, "--result-ttl", "3", "--quiet"},
            false));
        auto res = shortLived.upload(server_.demoKey.toStdString(), kPhoto);
        QCOMPARE(answer(shortLived.resultOf(res)), QStringLiteral("200 image/png"));

        // The sweep removes the file without anyone asking for it.
        QTRY_COMPARE_WITH_TIMEOUT(QDir(results).entryList(QDir::Files).size(), 0, 8000);
        QCOMPARE(answer(shortLived.resultOf(res)), QStringLiteral("404 application/json error"));
        QVERIFY(shortLived.stop(SIGINT));
        QVERIFY(!shortLived.process.readAllStandardOutput().contains("Demo API key"));
    }

    void sigtermStopsTheServerCleanly() {
        // A client that hangs up halfway through its body must not disturb the end.
        auto hangUp = [](size_t, size_t, httplib::DataSink& sink) {
            return !sink.write("--XyZ\r\n", 7);
        };
        QVERIFY(!server_.client().Post("/api/v1/credit_check", 100000, hangUp, kForm));
        expectStillServing();
        QVERIFY(server_.stop(SIGTERM));
    }
};

QTEST_GUILESS_MAIN(ServerTest)
#include "tst_vorpane_server.moc"
