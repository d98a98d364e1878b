// Measures vorpane-server on 2-megapixel JPEG photos: images per second and
// median latency with one and with two concurrent clients, and the server's
// peak resident memory (VmHWM). Each image is one upload followed by the
// download of its result, as the desktop client does.
//
// The same figures are then measured while 100 slow-header connections
// ("slowloris", from other loopback addresses, reopened whenever the server
// drops one) are held against the server, at most 60 s, together with the
// slowest credit check seen meanwhile. Last, 50 clients send 4000 credit
// checks with a new connection each and with kept-alive connections.
//
// Where PostgreSQL and nginx are installed, two clients then send the same photos through nginx
// over HTTPS to one and to two instances sharing a PostgreSQL ledger (fsync on) and a results
// folder, on this one machine: the figure shows the set-up is sound (every image done and paid
// once), not a speed-up, since the instances share its cores. Then 60 uploads at once on a key
// with 10 credits, three times, and the rate of debits on PostgreSQL and on SQLite, called
// directly from 8 threads.
//
//   bench_server [--requests N] [--format png|jpg] [--jobs N] [--no-model] [--server PATH]

#include <httplib.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "ClusterRig.h"
#include "Ledger.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int requests = 10;  // per client
    std::string format = "png";
    std::string jobs;  // server default unless given
    bool noModel = false;
    std::string server = VORPANE_SERVER_BINARY;
};

struct Sample {
    double uploadMs = 0;
    double totalMs = 0;  // upload and download of the result
};

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A photo-like 1732 x 1155 picture (2.0 megapixels): a shaded, grainy
// background and a subject of three differently coloured shapes.
std::string makePhotoJpeg() {
    const int w = 1732;
    const int h = 1155;
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(170 + 60 * y / h),
                                                  static_cast<uchar>(180 + 40 * x / w), 190);
        }
    }
    cv::ellipse(image, {w / 2, h / 2}, {w / 5, h / 3}, 0, 0, 360, cv::Scalar(40, 70, 160),
                cv::FILLED);
    cv::circle(image, {w / 2, h / 2 - h / 5}, w / 10, cv::Scalar(90, 120, 200), cv::FILLED);
    cv::rectangle(image, {w / 2 - w / 12, h / 2}, {w / 2 + w / 12, h / 2 + h / 4},
                  cv::Scalar(60, 130, 60), cv::FILLED);
    cv::Mat noise(h, w, CV_16SC3);
    cv::randn(noise, 0, 8);
    cv::Mat wide;
    image.convertTo(wide, CV_16SC3);
    wide += noise;
    wide.convertTo(image, CV_8UC3);
    cv::GaussianBlur(image, image, {3, 3}, 0);
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return std::string(bytes.begin(), bytes.end());
}

// Starts the program with stdout on the given descriptor (when not -1). The
// child is killed should this program die first.
pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

long peakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Where uploads go: an instance itself, or the proxy over HTTPS trusting caFile.
struct Endpoint {
    std::string origin;  // scheme://host:port
    std::string caFile;

    httplib::Client client() const {
        httplib::Client c(origin);
        if (!caFile.empty()) {
            c.set_ca_cert_path(caFile);
            c.enable_server_certificate_verification(true);
        }
        return c;
    }
};

bool processOne(const Endpoint& endpoint, const std::string& photo, const std::string& format,
                Sample& sample) {
    httplib::Client client = endpoint.client();
    client.set_read_timeout(120);
    const auto start = Clock::now();
    httplib::MultipartFormDataItems items{{"source_image_file", photo, "photo.jpg", "image/jpeg"},
                                          {"frequenteraug", "mac", "", ""},
                                          {"credit_info", "show", "", ""},
                                          {"format", format, "", ""}};
    auto res = client.Post("/api/v1/remove_image_background", {{"API-KEY", "bench"}}, items);
    const auto uploaded = Clock::now();
    if (!res || res->status != 200) return false;
    const std::string marker = "/results/";
    const auto at = res->body.find(marker);
    const auto end = res->body.find('"', at);
    if (at == std::string::npos || end == std::string::npos) return false;
    auto image = client.Get(res->body.substr(at, end - at));
    if (!image || image->status != 200 || image->body.empty()) return false;
    const auto done = Clock::now();
    sample.uploadMs = std::chrono::duration<double, std::milli>(uploaded - start).count();
    sample.totalMs = std::chrono::duration<double, std::milli>(done - start).count();
    return true;
}

struct PhaseResult {
    double imagesPerSecond = 0;
    double medianTotalMs = 0;
    double medianUploadMs = 0;
    int failures = 0;
};

PhaseResult runPhase(const Endpoint& at, const std::string& photo, const Options& options,
                     int clients) {
    std::vector<Sample> samples;
    std::mutex mutex;
    int failures = 0;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            for (int i = 0; i < options.requests; ++i) {
                Sample s;
                const bool ok = processOne(at, photo, options.format, s);
                std::lock_guard<std::mutex> lock(mutex);
                if (ok) {
                    samples.push_back(s);
                } else {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    PhaseResult result;
    result.failures = failures;
    result.imagesPerSecond = samples.size() / seconds;
    std::vector<double> totals;
    std::vector<double> uploads;
    for (const Sample& s : samples) {
        totals.push_back(s.totalMs);
        uploads.push_back(s.uploadMs);
    }
    result.medianTotalMs = median(totals);
    result.medianUploadMs = median(uploads);
    return result;
}

// Holds `count` connections that send their request head one byte a second, spread over
// four loopback source addresses; a connection the server closes is opened again.
class Slowloris final {
public:
    Slowloris(int port, int count, std::chrono::seconds limit) : port_(port) {
        fds_.assign(count, -1);
        thread_ = std::thread([this, limit] { run(limit); });
    }
    ~Slowloris() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
    }
    int reopened() const { return reopened_; }
    int held() const { return held_; }

private:
    int open(int index) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(0x7F000002 + index % 4);  // 127.0.0.2 to 127.0.0.5
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<uint16_t>(port_));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
        return fd;
    }

    void run(std::chrono::seconds limit) {
        static const std::string head = "POST /api/v1/credit_check HTTP/1.1\r\nHost: x\r\nX-Slow: ";
        std::vector<std::size_t> sent(fds_.size(), 0);
        const auto end = Clock::now() + limit;
        while (!stop_ && Clock::now() < end) {
            int held = 0;
            for (std::size_t i = 0; i < fds_.size(); ++i) {
                char buffer[512];
                pollfd p{fds_[i], POLLIN, 0};
                const bool closed = fds_[i] < 0 || (poll(&p, 1, 0) > 0 &&
                                                    recv(fds_[i], buffer, sizeof buffer, 0) <= 0);
                const char byte = sent[i] < head.size() ? head[sent[i]] : 'x';
                if (closed || send(fds_[i], &byte, 1, MSG_NOSIGNAL) != 1) {
                    if (fds_[i] >= 0) {
                        close(fds_[i]);
                        ++reopened_;
                    }
                    fds_[i] = open(int(i));
                    sent[i] = 0;
                } else {
                    ++sent[i];
                }
                held += fds_[i] >= 0;
            }
            held_ = held;
            for (int i = 0; i < 10 && !stop_; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    int port_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<int> reopened_{0};
    std::atomic<int> held_{0};
    std::thread thread_;
};

struct RateResult {
    double perSecond = 0;
    double p99Ms = 0;
    int failures = 0;
};

// `total` calls from `threads` threads, call(thread, n) for the n-th (true when it succeeded):
// their rate, the 99th percentile of their latency and how many failed.
RateResult timedCalls(int threads, int total, const std::function<bool(int, int)>& call) {
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::vector<double> latencies;
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<double> mine;
            for (int n = next++; n < total; n = next++) {
                const auto begin = Clock::now();
                if (!call(t, n)) ++failures;
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
            }
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : workers) t.join();
    RateResult result;
    result.perSecond = total / std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) result.p99Ms = latencies[latencies.size() * 99 / 100];
    result.failures = failures;
    return result;
}

// `total` credit checks from `clients` threads, each reusing one connection or not.
RateResult creditChecks(int port, int clients, int total, bool keepAlive) {
    std::vector<std::unique_ptr<httplib::Client>> shared;
    for (int c = 0; c < clients; ++c) {
        // One write per request, as browsers and ApacheBench send it.
        shared.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
        shared.back()->set_keep_alive(true);
        shared.back()->set_tcp_nodelay(true);
    }
    return timedCalls(clients, total, [&](int thread, int) {
        httplib::Client single("127.0.0.1", port);
        single.set_tcp_nodelay(true);
        httplib::Client& client = keepAlive ? *shared[std::size_t(thread)] : single;
        auto res = client.Post("/api/v1/credit_check", "api_key=bench",
                               "application/x-www-form-urlencoded");
        return res && res->status == 200;
    });
}

// The slowest of credit checks made every 200 ms while `busy` is set.
double slowestCreditCheck(int port, const std::atomic<bool>& busy) {
    double slowest = 0;
    while (busy) {
        const auto begin = Clock::now();
        httplib::Client client("127.0.0.1", port);
        client.Post("/api/v1/credit_check", "api_key=bench", "application/x-www-form-urlencoded");
        slowest = std::max(slowest,
                           std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return slowest;
}

void printPhase(const char* label, const PhaseResult& r) {
    std::printf("%s: %.2f images/s, median %.0f ms per image (upload %.0f ms + download)%s\n",
                label, r.imagesPerSecond, r.medianTotalMs, r.medianUploadMs,
                r.failures ? ", FAILURES" : "");
}

// CPU seconds a process has used so far (user and system).
double cpuSeconds(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto afterName = text.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

struct ClusterPhase {
    PhaseResult result;
    std::vector<double> instanceCpuSeconds;
    bool paidOnce = false;  // the key paid exactly one credit per image done
};

// The photos of two clients through the proxy to `count` instances on one PostgreSQL ledger.
ClusterPhase clusterPhase(int count, const QStringList& instanceArgs, const std::string& photo,
                          const Options& options, std::string& error) {
    ClusterRig rig(QString::fromStdString(options.server));
    ClusterPhase phase;
    error = rig.start(count, instanceArgs, true).toStdString();
    if (!error.empty()) return phase;
    const QString credits = "1000000";
    rig.admin({"key", "create", "--key", "bench", "--free", credits});
    const Endpoint proxy{"https://127.0.0.1:" + std::to_string(rig.proxyPort()),
                         rig.caFile().toStdString()};
    Sample warm;
    for (int i = 0; i < count; ++i) processOne(proxy, photo, options.format, warm);
    phase.result = runPhase(proxy, photo, options, 2);
    const int done = 2 * options.requests - phase.result.failures + count;
    phase.paidOnce = rig.creditOf("bench") == QString("bench %1 0 0").arg(credits.toInt() - done);
    for (int i = 0; i < count; ++i)
        phase.instanceCpuSeconds.push_back(cpuSeconds(rig.instance(i).process.processId()));
    return phase;
}

struct RaceRound {
    int done = 0, refused = 0, other = 0;
    double seconds = 0;
    bool balanceZero = false;
};

// `uploads` small photos at once through the proxy to two instances on a key with `credits`.
std::vector<RaceRound> creditRace(const QStringList& instanceArgs, const Options& options,
                                  int rounds, int uploads, int credits, std::string& error) {
    ClusterRig rig(QString::fromStdString(options.server));
    std::vector<RaceRound> result;
    error = rig.start(2, instanceArgs, true).toStdString();
    if (!error.empty()) return result;
    rig.admin({"key", "create", "--key", "race", "--free", "0"});
    cv::Mat image(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::circle(image, {160, 120}, 60, cv::Scalar(40, 90, 210), cv::FILLED);
    std::vector<unsigned char> bytes;
    cv::imencode(".png", image, bytes);
    const std::string small(bytes.begin(), bytes.end());
    for (int round = 0; round < rounds; ++round) {
        rig.admin({"key", "set", "race", "--free", QString::number(credits), "--topup", "0",
                   "--subscription", "0"});
        std::vector<int> statuses(std::size_t(uploads), -1);
        const auto start = Clock::now();
        std::vector<std::thread> clients;
        for (int i = 0; i < uploads; ++i) {
            clients.emplace_back([&, i] {
                auto res =
                    rig.proxy().Post("/api/v1/remove_image_background", {{"API-KEY", "race"}},
                                     httplib::MultipartFormDataItems{
                                         {"source_image_file", small, "photo.png", "image/png"},
                                         {"format", options.format, "", ""}});
                statuses[std::size_t(i)] = res ? res->status : -1;
            });
        }
        for (auto& t : clients) t.join();
        RaceRound r;
        r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (int status : statuses) {
            status == 200 ? ++r.done : status == 402 ? ++r.refused : ++r.other;
        }
        r.balanceZero = rig.creditOf("race") == "race 0 0 0";
        result.push_back(r);
    }
    return result;
}

// Credits taken by `threads` threads from one key, straight from the ledger; exact when each of
// the `total` credits was taken once and none beyond.
RateResult debitRate(const std::string& location, int threads, int total, bool& exact) {
    auto ledger = vserver::Ledger::open(location);
    ledger->createKey("debits", {total, 0, 0});
    const RateResult rate = timedCalls(threads, total, [&](int, int n) {
        return ledger->charge("debits", "debit-" + std::to_string(n)).outcome ==
               vserver::ChargeResult::Outcome::Charged;
    });
    exact = rate.failures == 0 && ledger->balances("debits")->total() == 0 &&
            ledger->charge("debits", "beyond").outcome == vserver::ChargeResult::Outcome::NoCredit;
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--requests" && hasValue) {
            options.requests = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--format" && hasValue) {
            options.format = argv[++i];
        } else if (arg == "--jobs" && hasValue) {
            options.jobs = argv[++i];
        } else if (arg == "--no-model") {
            options.noModel = true;
        } else if (arg == "--server" && hasValue) {
            options.server = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--requests N] [--format png|jpg] [--jobs N] [--no-model] "
                         "[--server PATH]\n",
                         argv[0]);
            return 2;
        }
    }

    char folderTemplate[] = "/tmp/vorpane-bench-XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderTemplate;
    const std::string db = folder + "/server.db";

    const int devNull = open("/dev/null", O_WRONLY);
    const pid_t creator =
        spawn({options.server, "key", "create", "--key", "bench", "--free", "1000000", "--db", db},
              devNull);
    close(devNull);
    int status = 0;
    if (creator < 0 || waitpid(creator, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cannot create the benchmark key with %s\n", options.server.c_str());
        return 1;
    }

    std::vector<std::string> serverArgs = {
        options.server, "--port", "0", "--db", db, "--results-dir", folder + "/results", "--quiet"};
    QStringList instanceArgs{"--quiet"};
    if (!options.jobs.empty()) instanceArgs << "--jobs" << QString::fromStdString(options.jobs);
    if (options.noModel) instanceArgs << "--no-model";
    for (const QString& a : instanceArgs.mid(1)) serverArgs.push_back(a.toStdString());
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const pid_t server = spawn(serverArgs, pipeFds[1]);
    close(pipeFds[1]);
    if (server < 0) {
        std::fprintf(stderr, "cannot start %s\n", options.server.c_str());
        return 1;
    }
    std::string firstLine;
    char c = 0;
    while (read(pipeFds[0], &c, 1) == 1 && c != '\n') firstLine += c;
    const auto port = std::atoi(firstLine.substr(firstLine.rfind(':') + 1).c_str());
    if (firstLine.rfind("http://", 0) != 0 || port <= 0) {
        std::fprintf(stderr, "the server did not announce its URL\n");
        kill(server, SIGKILL);
        return 1;
    }

    const std::string photo = makePhotoJpeg();
    const Endpoint direct{"http://127.0.0.1:" + std::to_string(port), ""};
    Sample warm;
    processOne(direct, photo, options.format, warm);

    const PhaseResult one = runPhase(direct, photo, options, 1);
    const PhaseResult two = runPhase(direct, photo, options, 2);
    const long peakKb = peakRssKb(server);

    PhaseResult oneAttacked, twoAttacked;
    int held = 0, reopened = 0;
    double slowestCheckMs = 0;
    {
        Slowloris attack(port, 100, std::chrono::seconds(60));
        std::this_thread::sleep_for(std::chrono::seconds(2));  // let the connections open
        std::atomic<bool> busy{true};
        std::thread checker([&] { slowestCheckMs = slowestCreditCheck(port, busy); });
        oneAttacked = runPhase(direct, photo, options, 1);
        twoAttacked = runPhase(direct, photo, options, 2);
        busy = false;
        checker.join();
        held = attack.held();
        reopened = attack.reopened();
    }
    const RateResult fresh = creditChecks(port, 50, 4000, false);
    const RateResult kept = creditChecks(port, 50, 4000, true);

    kill(server, SIGTERM);
    waitpid(server, &status, 0);
    close(pipeFds[0]);

    // Instances behind nginx on one PostgreSQL ledger.
    const QString clusterUnavailable = ClusterRig::unavailable();
    std::string clusterError = clusterUnavailable.toStdString();
    ClusterPhase behind[2];
    std::vector<RaceRound> race;
    RateResult pgDebits, sqliteDebits;
    bool pgExact = false, sqliteExact = false;
    if (clusterUnavailable.isEmpty()) {
        for (int count = 1; count <= 2 && clusterError.empty(); ++count)
            behind[count - 1] = clusterPhase(count, instanceArgs, photo, options, clusterError);
        if (clusterError.empty()) race = creditRace(instanceArgs, options, 3, 60, 10, clusterError);
        if (clusterError.empty()) {
            ClusterRig rig(QString::fromStdString(options.server));
            clusterError = rig.start(0, {}, true).toStdString();
            if (clusterError.empty())
                pgDebits = debitRate(rig.uri().toStdString(), 8, 4000, pgExact);
        }
        sqliteDebits = debitRate(folder + "/debits.db", 8, 4000, sqliteExact);
    }

    std::error_code ec;
    std::filesystem::remove_all(folder, ec);

    std::string command;
    for (int i = 0; i < argc; ++i) command += (i ? " " : "") + std::string(argv[i]);
    std::string serverCommand;
    for (const auto& a : serverArgs) serverCommand += (serverCommand.empty() ? "" : " ") + a;

    std::printf(
        "vorpane-server benchmark: 1732x1155 JPEG (2.0 MP, %zu bytes), result %s, "
        "%d images per client, %u hardware threads\n",
        photo.size(), options.format.c_str(), options.requests,
        std::thread::hardware_concurrency());
    printPhase("1 client ", one);
    printPhase("2 clients", two);
    std::printf("server peak memory (VmHWM): %.1f MiB\n", peakKb / 1024.0);
    std::printf("under attack by 100 slow-header connections (%d held at the end, %d reopened):\n",
                held, reopened);
    printPhase("1 client ", oneAttacked);
    printPhase("2 clients", twoAttacked);
    std::printf("throughput under attack: %.0f %% (1 client), %.0f %% (2 clients) of quiet\n",
                100 * oneAttacked.imagesPerSecond / one.imagesPerSecond,
                100 * twoAttacked.imagesPerSecond / two.imagesPerSecond);
    std::printf("slowest credit check under attack: %.0f ms\n", slowestCheckMs);
    std::printf(
        "credit_check, 50 clients, 4000 requests, new connection each: %.0f requests/s, "
        "p99 %.1f ms, %d failed\n",
        fresh.perSecond, fresh.p99Ms, fresh.failures);
    std::printf(
        "credit_check, 50 clients, 4000 requests, kept-alive connections: %.0f requests/s, "
        "p99 %.1f ms, %d failed\n",
        kept.perSecond, kept.p99Ms, kept.failures);
    std::printf("server exit status after SIGTERM: %d\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    bool clusterFailed = false;
    if (!clusterError.empty()) {
        std::printf("behind nginx: not measured: %s\n", clusterError.c_str());
        clusterFailed = clusterUnavailable.isEmpty();
    } else {
        std::printf(
            "behind nginx over HTTPS, one PostgreSQL ledger (fsync on), 2 clients, same "
            "machine:\n");
        for (int count = 1; count <= 2; ++count) {
            const ClusterPhase& p = behind[count - 1];
            printPhase(count == 1 ? "1 instance " : "2 instances", p.result);
            std::string cpu;
            for (double s : p.instanceCpuSeconds) {
                char figure[32];
                std::snprintf(figure, sizeof figure, "%s%.1f", cpu.empty() ? "" : " + ", s);
                cpu += figure;
            }
            std::printf("  instance CPU seconds %s; every image paid once: %s\n", cpu.c_str(),
                        p.paidOnce ? "yes" : "NO");
            clusterFailed |= p.result.failures || !p.paidOnce;
        }
        std::printf("2 instances vs 1: %.0f %% of the throughput\n",
                    100 * behind[1].result.imagesPerSecond / behind[0].result.imagesPerSecond);
        for (std::size_t i = 0; i < race.size(); ++i) {
            const RaceRound& r = race[i];
            std::printf(
                "credit race %zu: 60 uploads at once on 10 credits through nginx to 2 instances: "
                "%d done, %d refused (402), %d other, balance 0 after: %s, %.1f s\n",
                i + 1, r.done, r.refused, r.other, r.balanceZero ? "yes" : "NO", r.seconds);
            clusterFailed |= r.done != 10 || r.refused != 50 || !r.balanceZero;
        }
        const struct {
            const char* name;
            const RateResult& rate;
            bool exact;
        } debits[] = {{"PostgreSQL (fsync on)", pgDebits, pgExact},
                      {"SQLite", sqliteDebits, sqliteExact}};
        for (const auto& d : debits) {
            std::printf(
                "debits on %s, 8 threads, 4000 on one key: %.0f debits/s, p99 %.1f ms, "
                "exact: %s\n",
                d.name, d.rate.perSecond, d.rate.p99Ms, d.exact ? "yes" : "NO");
            clusterFailed |= !d.exact;
        }
    }
    std::printf("command: %s\n", command.c_str());
    std::printf("server : %s\n", serverCommand.c_str());
    const bool failed = one.failures || two.failures || oneAttacked.failures ||
                        twoAttacked.failures || fresh.failures || kept.failures || clusterFailed;
    return failed ? 1 : 0;
}
