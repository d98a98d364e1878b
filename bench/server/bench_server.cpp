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
//   bench_server [--requests N] [--format png|jpg] [--jobs N] [--server PATH]

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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int requests = 10;  // per client
    std::string format = "png";
    std::string jobs;  // server default unless given
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

bool processOne(int port, const std::string& photo, const std::string& format, Sample& sample) {
    httplib::Client client("127.0.0.1", port);
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

PhaseResult runPhase(int port, const std::string& photo, const Options& options, int clients) {
    std::vector<Sample> samples;
    std::mutex mutex;
    int failures = 0;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            for (int i = 0; i < options.requests; ++i) {
                Sample s;
                const bool ok = processOne(port, photo, options.format, s);
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

// `total` credit checks from `clients` threads, each reusing one connection or not.
RateResult creditChecks(int port, int clients, int total, bool keepAlive) {
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::vector<double> latencies;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            // One write per request, as browsers and ApacheBench send it.
            httplib::Client shared("127.0.0.1", port);
            shared.set_keep_alive(true);
            shared.set_tcp_nodelay(true);
            std::vector<double> mine;
            while (next++ < total) {
                const auto begin = Clock::now();
                httplib::Client single("127.0.0.1", port);
                single.set_tcp_nodelay(true);
                httplib::Client& client = keepAlive ? shared : single;
                auto res = client.Post("/api/v1/credit_check", "api_key=bench",
                                       "application/x-www-form-urlencoded");
                if (!res || res->status != 200) ++failures;
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
            }
            std::lock_guard<std::mutex> lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads) t.join();
    RateResult result;
    result.perSecond = total / std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) result.p99Ms = latencies[latencies.size() * 99 / 100];
    result.failures = failures;
    return result;
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

}  // namespace

int main(int argc, char** argv) {
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
        } else if (arg == "--server" && hasValue) {
            options.server = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--requests N] [--format png|jpg] [--jobs N] [--server PATH]\n",
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
    if (!options.jobs.empty()) {
        serverArgs.push_back("--jobs");
        serverArgs.push_back(options.jobs);
    }
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
    Sample warm;
    processOne(port, photo, options.format, warm);

    const PhaseResult one = runPhase(port, photo, options, 1);
    const PhaseResult two = runPhase(port, photo, options, 2);
    const long peakKb = peakRssKb(server);

    PhaseResult oneAttacked, twoAttacked;
    int held = 0, reopened = 0;
    double slowestCheckMs = 0;
    {
        Slowloris attack(port, 100, std::chrono::seconds(60));
        std::this_thread::sleep_for(std::chrono::seconds(2));  // let the connections open
        std::atomic<bool> busy{true};
        std::thread checker([&] { slowestCheckMs = slowestCreditCheck(port, busy); });
        oneAttacked = runPhase(port, photo, options, 1);
        twoAttacked = runPhase(port, photo, options, 2);
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
    std::printf("command: %s\n", command.c_str());
    std::printf("server : %s\n", serverCommand.c_str());
    const bool failed = one.failures || two.failures || oneAttacked.failures ||
                        twoAttacked.failures || fresh.failures || kept.failures;
    return failed ? 1 : 0;
}
