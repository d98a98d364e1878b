#include "Cli.h"

#include "ApiServer.h"
#include "BackgroundRemover.h"
#include "Ledger.h"
#include "PublicAddress.h"
#include "RandomToken.h"
#include "ResultStore.h"
#include "SegmentationNet.h"

#include <opencv2/imgproc.hpp>

#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <thread>
#include <utility>

namespace vserver {

namespace {

constexpr std::int64_t kDemoFreeCredit = 50;
constexpr long long kMaxCredit = 1000000000000LL;
constexpr long long kMaxTtl = 10LL * 365 * 24 * 60 * 60;

const char* const kUsage =
    "Usage:\n"
    "  vorpane-server [serve] [--host H] [--port P] [--public-url URL] [--db PATH]\n"
    "                 [--results-dir DIR] [--result-ttl SECONDS] [--threads N] [--jobs N]\n"
    "                 [--drop PERCENT] [--quiet] [--model PATH | --no-model]\n"
    "  vorpane-server model check [--model PATH]\n"
    "  vorpane-server key create [--key K] [--free N] [--topup N] [--subscription N] [--db PATH]\n"
    "  vorpane-server key set KEY [--free N] [--topup N] [--subscription N] [--db PATH]\n"
    "  vorpane-server key delete KEY [--db PATH]\n"
    "  vorpane-server key list [--db PATH]\n"
    "  vorpane-server version show [--db PATH]\n"
    "  vorpane-server version set VERSION [--update-type soft|hard|none] [--db PATH]\n"
    "\n"
    "serve listens on 127.0.0.1:8080 unless told otherwise (--port 0 takes a free port) and\n"
    "prints the base URL of the API as its first line. Listening beyond this computer takes\n"
    "--public-url https://HOST/, the address of the TLS proxy in front of it, which then names\n"
    "the results and the account page. Results are kept --result-ttl seconds\n"
    "(default 86400). The database defaults to $XDG_DATA_HOME/vorpane-server/server.db;\n"
    "--db takes an SQLite file or a PostgreSQL URI (postgresql://USER@HOST/DB), which several\n"
    "instances may share together with one --results-dir.\n"
    "key create makes a key of 32 hexadecimal characters (50 free credits unless --free says\n"
    "otherwise) and prints it. --drop PERCENT (for trying clients) resets that share of the\n"
    "connections as a request arrives or as its answer leaves; an answer lost so is not charged.\n"
    "\n"
    "Cut-outs come from a segmentation network when one is installed: by default\n"
    "$XDG_DATA_HOME/vorpane-server/models/isnet-medium.onnx with its .json beside it, which\n"
    "scripts/get-model converts from the npm package @imgly/background-removal-data (an\n"
    "ISNet-based model, AGPL-3.0; its LICENSE.md is installed beside it). --model PATH takes\n"
    "another model of the same kind, --no-model the classical method (colour models and\n"
    "GrabCut). Each job holds its own copy of the network (about 0.8 GB while it runs).\n"
    "model check loads the model and cuts out a test picture.\n";

bool isFlag(const std::string& name) {
    return name == "help" || name == "quiet" || name == "no-model";
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return ".";
}

std::string dataHome() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
    return homeFolder() + "/.local/share";
}

}  // namespace

Cli::Cli(std::vector<std::string> args) : args_(std::move(args)) {}

std::string Cli::defaultDatabasePath() {
    return dataHome() + "/vorpane-server/server.db";
}

std::string Cli::defaultModelPath() {
    return dataHome() + "/vorpane-server/models/isnet-medium.onnx";
}

std::string Cli::modelPath() const {
    const auto it = options_.find("model");
    return it != options_.end() && !it->second.empty() ? it->second : defaultModelPath();
}

std::string Cli::defaultResultsFolder(const std::string& databasePath) {
    const std::filesystem::path db(databasePath);
    std::filesystem::path stem = db.stem();
    if (stem.empty()) stem = "server";
    return (db.parent_path() / (stem.string() + "-results")).string();
}

bool Cli::parse() {
    for (std::size_t i = 0; i < args_.size(); ++i) {
        const std::string& arg = args_[i];
        if (arg == "-h") {
            options_["help"] = "";
        } else if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
            std::string name = arg.substr(2);
            std::string value;
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            } else if (!isFlag(name)) {
                if (i + 1 >= args_.size()) {
                    std::fprintf(stderr, "vorpane-server: --%s needs a value\n", name.c_str());
                    return false;
                }
                value = args_[++i];
            }
            options_[name] = value;
        } else {
            words_.push_back(arg);
        }
    }
    return true;
}

bool Cli::allowOnly(const std::vector<std::string>& names) const {
    for (const auto& [name, value] : options_) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            std::fprintf(stderr, "vorpane-server: unknown option --%s for this command\n",
                         name.c_str());
            return false;
        }
    }
    return true;
}

bool Cli::number(const std::string& name, long long min, long long max, long long& value) const {
    const auto it = options_.find(name);
    if (it == options_.end()) return true;
    const std::string& text = it->second;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || parsed < min || parsed > max) {
        std::fprintf(stderr, "vorpane-server: --%s wants a whole number from %lld to %lld\n",
                     name.c_str(), min, max);
        return false;
    }
    value = parsed;
    return true;
}

std::string Cli::databasePath() const {
    const auto it = options_.find("db");
    return it != options_.end() && !it->second.empty() ? it->second : defaultDatabasePath();
}

int Cli::usage(int status) const {
    std::fputs(kUsage, status == 0 ? stdout : stderr);
    return status;
}

int Cli::run() {
    if (!parse()) return usage(2);
    if (options_.count("help") || (!words_.empty() && words_[0] == "help")) return usage(0);
    try {
        const std::size_t n = words_.size();
        if (n == 0 || (n == 1 && words_[0] == "serve")) return serve();
        if (words_[0] == "key") {
            if (n == 2 && words_[1] == "create") return keyCreate();
            if (n == 3 && words_[1] == "set") return keySet();
            if (n == 3 && words_[1] == "delete") return keyDelete();
            if (n == 2 && words_[1] == "list") return keyList();
        }
        if (n == 2 && words_[0] == "model" && words_[1] == "check") return modelCheck();
        if (words_[0] == "version") {
            if (n == 2 && words_[1] == "show") return versionShow();
            if (n == 3 && words_[1] == "set") return versionSet();
        }
        std::fprintf(stderr, "vorpane-server: unknown command\n");
        return usage(2);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorpane-server: %s\n", e.what());
        return 1;
    }
}

int Cli::serve() {
    if (!allowOnly({"host", "port", "public-url", "db", "results-dir", "result-ttl", "threads",
                    "jobs", "drop", "quiet", "model", "no-model"})) {
        return 2;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    ServeOptions options;
    long long port = options.port;
    long long ttl = options.resultTtl.count();
    long long threads = static_cast<long long>(options.threads);
    // One removal per hardware thread; more wait for a slot in the server.
    long long jobs = std::min(64u, cores);
    long long dropPercent = 0;
    if (!number("port", 0, 65535, port) || !number("result-ttl", 1, kMaxTtl, ttl) ||
        !number("threads", 1, 256, threads) || !number("jobs", 1, 64, jobs) ||
        !number("drop", 0, 50, dropPercent)) {
        return 2;
    }
    if (const auto it = options_.find("host"); it != options_.end()) options.host = it->second;
    if (const auto it = options_.find("public-url"); it != options_.end()) {
        std::string error;
        const std::optional<std::string> origin = publicOrigin(it->second, error);
        if (!origin) {
            std::fprintf(stderr, "vorpane-server: %s\n", error.c_str());
            return 2;
        }
        options.publicOrigin = *origin;
    }
    // Keys travel in every request: beyond this computer only through TLS, which a proxy in front
    // of the server provides.
    const bool loopbackOnly = isLoopbackHost(options.host);
    if (!loopbackOnly && options.publicOrigin.rfind("https://", 0) != 0) {
        std::fprintf(stderr,
                     "vorpane-server: --host %s reaches beyond this computer, where API keys must "
                     "travel over TLS only: put a TLS proxy in front of the server and give its "
                     "address with --public-url https://HOST/ (or listen on 127.0.0.1)\n",
                     options.host.c_str());
        return 2;
    }
    options.port = static_cast<int>(port);
    options.resultTtl = std::chrono::seconds(ttl);
    options.threads = static_cast<std::size_t>(threads);
    options.jobs = static_cast<std::size_t>(jobs);
    options.limits.dropShare = double(dropPercent) / 100;
    options.logRequests = options_.count("quiet") == 0;
    const std::string location = databasePath();
    const auto results = options_.find("results-dir");
    // Several instances on one PostgreSQL database share a results folder, named for all.
    options.resultsFolder = results != options_.end() && !results->second.empty() ? results->second
                            : Ledger::isPostgresUri(location)
                                ? defaultResultsFolder(defaultDatabasePath())
                                : defaultResultsFolder(location);

    // Signals are taken by one waiting thread; every other thread, created
    // from here on, inherits the block.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away mid-reply must not end the process.
    signal(SIGPIPE, SIG_IGN);

    const std::unique_ptr<Ledger> ledger = Ledger::open(location);
    std::optional<std::string> demoKey;
    // A demo key is for trying the service on this computer, never one others reach.
    const std::string candidate = randomHex(Ledger::kMaxKeyLength / 2);
    if (loopbackOnly && ledger->issueDemoKey(candidate, Balances{kDemoFreeCredit, 0, 0})) {
        demoKey = candidate;
    }
    ResultStore store(options.resultsFolder, options.resultTtl);
    // Every thread allocates from one malloc arena, which hands freed memory back when a job is
    // over; with an arena per thread each would keep the largest job it has seen.
    mallopt(M_ARENA_MAX, 1);
    const std::unique_ptr<SegmentationNets> nets = loadNetworks(options.jobs, cores);
    BackgroundRemover remover(nets.get());
    ApiServer server(options, remover, store, *ledger);
    if (server.bind() < 0) {
        std::fprintf(stderr, "vorpane-server: cannot listen on %s port %d\n", options.host.c_str(),
                     options.port);
        return 1;
    }
    std::printf("%s\n", server.baseUrl().c_str());
    if (demoKey) std::printf("Demo API key: %s\n", demoKey->c_str());
    std::fflush(stdout);
    std::fprintf(stderr,
                 "vorpane-server: database %s, results in %s for %lld s, %zu threads, %zu jobs, "
                 "%s cut-outs%s%s\n",
                 ledger->location().c_str(), options.resultsFolder.c_str(), ttl, options.threads,
                 options.jobs, nets ? "network" : "classical",
                 options.publicOrigin.empty() ? "" : ", clients reach it at ",
                 options.publicOrigin.empty() ? "" : server.publicBaseUrl().c_str());

    std::thread signalWaiter([&server, &stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    });
    const bool ok = server.run();
    // When serving ended by itself, wake the waiter with a signal it takes.
    if (!ok) pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    if (!ok) {
        std::fprintf(stderr, "vorpane-server: serving failed\n");
        return 1;
    }
    std::fprintf(stderr, "vorpane-server: stopped\n");
    return 0;
}

std::unique_ptr<SegmentationNets> Cli::loadNetworks(std::size_t jobs, unsigned cores) const {
    // The classical removals run side by side, one to a job slot, each on one core: OpenCV's own
    // threads would only contend with the other jobs. A network's layers share all cores
    // between the jobs running (a lone job gets them all).
    cv::setNumThreads(1);
    if (options_.count("no-model")) return nullptr;
    const std::string path = modelPath();
    if (!options_.count("model") && !std::filesystem::exists(path)) {
        std::fprintf(stderr,
                     "No segmentation model installed: classical cut-outs. scripts/get-model "
                     "installs one.\n");
        return nullptr;
    }
    cv::setNumThreads(static_cast<int>(cores));
    try {
        return std::make_unique<SegmentationNets>(path, jobs);
    } catch (const std::exception& e) {
        cv::setNumThreads(1);
        std::fprintf(stderr,
                     "vorpane-server: the segmentation model %s is not usable: %s. Classical "
                     "cut-outs.\n",
                     path.c_str(), e.what());
        return nullptr;
    }
}

int Cli::modelCheck() {
    if (!allowOnly({"model"})) return 2;
    const std::string path = modelPath();
    cv::setNumThreads(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    std::unique_ptr<SegmentationNets> nets;
    try {
        nets = std::make_unique<SegmentationNets>(path, 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorpane-server: the model %s is not usable: %s\n", path.c_str(),
                     e.what());
        return 1;
    }
    // A red ball with a highlight and a shadow on a light studio backdrop: any salient-object
    // network finds it.
    cv::Mat picture(480, 640, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        picture.row(y).setTo(cv::Scalar::all(235 - 25.0 * y / picture.rows));
    cv::ellipse(picture, {350, 395}, {120, 22}, 0, 0, 360, cv::Scalar::all(150), cv::FILLED);
    cv::GaussianBlur(picture, picture, cv::Size(), 9);
    cv::Mat truth(picture.size(), CV_8U, cv::Scalar(0));
    cv::circle(truth, {320, 250}, 140, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
    cv::circle(picture, {320, 250}, 140, cv::Scalar(40, 40, 190), cv::FILLED, cv::LINE_AA);
    cv::circle(picture, {270, 200}, 40, cv::Scalar(150, 150, 245), cv::FILLED, cv::LINE_AA);
    cv::GaussianBlur(picture(cv::Rect(150, 80, 340, 340)), picture(cv::Rect(150, 80, 340, 340)),
                     cv::Size(), 2);
    const cv::Mat alpha = BackgroundRemover(nets.get()).foregroundAlpha(picture) > 127;
    const double iou = double(cv::countNonZero(alpha & (truth > 127))) /
                       std::max(1, cv::countNonZero(alpha | (truth > 127)));
    if (iou < 0.9) {
        std::fprintf(stderr,
                     "vorpane-server: the model %s cuts a test picture wrongly (IoU %.2f)\n",
                     path.c_str(), iou);
        return 1;
    }
    std::printf("%s: loads, and cuts out a test picture (IoU %.3f)\n", path.c_str(), iou);
    return 0;
}

int Cli::keyCreate() {
    if (!allowOnly({"db", "key", "free", "topup", "subscription"})) return 2;
    long long free = kDemoFreeCredit;
    long long topup = 0;
    long long subscription = 0;
    if (!number("free", 0, kMaxCredit, free) || !number("topup", 0, kMaxCredit, topup) ||
        !number("subscription", 0, kMaxCredit, subscription)) {
        return 2;
    }
    std::string key;
    if (const auto it = options_.find("key"); it != options_.end()) {
        key = it->second;
        if (!Ledger::isValidKey(key)) {
            std::fprintf(stderr, "vorpane-server: a key is 1 to 32 letters, digits, '-' or '_'\n");
            return 2;
        }
    } else {
        key = randomHex(Ledger::kMaxKeyLength / 2);
    }
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    if (!ledger->createKey(key, Balances{free, topup, subscription})) {
        std::fprintf(stderr, "vorpane-server: the key %s exists already\n", key.c_str());
        return 1;
    }
    std::printf("%s\n", key.c_str());
    return 0;
}

int Cli::keySet() {
    if (!allowOnly({"db", "free", "topup", "subscription"})) return 2;
    std::optional<std::int64_t> pools[3];
    const char* names[3] = {"free", "topup", "subscription"};
    for (int i = 0; i < 3; ++i) {
        long long value = -1;
        if (!number(names[i], 0, kMaxCredit, value)) return 2;
        if (value >= 0) pools[i] = value;
    }
    if (!pools[0] && !pools[1] && !pools[2]) {
        std::fprintf(stderr, "vorpane-server: give --free, --topup or --subscription\n");
        return 2;
    }
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    if (!ledger->setBalances(words_[2], pools[0], pools[1], pools[2])) {
        std::fprintf(stderr, "vorpane-server: no such key\n");
        return 1;
    }
    const Balances b = *ledger->balances(words_[2]);
    std::printf("%s free %lld topup %lld subscription %lld\n", words_[2].c_str(),
                static_cast<long long>(b.free), static_cast<long long>(b.topup),
                static_cast<long long>(b.subscription));
    return 0;
}

int Cli::keyDelete() {
    if (!allowOnly({"db"})) return 2;
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    if (!ledger->deleteKey(words_[2])) {
        std::fprintf(stderr, "vorpane-server: no such key\n");
        return 1;
    }
    return 0;
}

int Cli::keyList() {
    if (!allowOnly({"db"})) return 2;
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    std::printf("%-32s %12s %12s %12s\n", "KEY", "FREE", "TOPUP", "SUBSCRIPTION");
    for (const KeyRecord& record : ledger->keys()) {
        std::printf("%-32s %12lld %12lld %12lld%s\n", record.key.c_str(),
                    static_cast<long long>(record.balances.free),
                    static_cast<long long>(record.balances.topup),
                    static_cast<long long>(record.balances.subscription),
                    record.demo ? "  (demo)" : "");
    }
    return 0;
}

int Cli::versionShow() {
    if (!allowOnly({"db"})) return 2;
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    std::printf("%s %s\n", ledger->appVersion().c_str(), ledger->updateType().c_str());
    return 0;
}

int Cli::versionSet() {
    if (!allowOnly({"db", "update-type"})) return 2;
    const std::string& version = words_[2];
    const bool printable =
        !version.empty() && version.size() <= 64 &&
        std::all_of(version.begin(), version.end(), [](char c) { return c > ' ' && c < 127; });
    if (!printable) {
        std::fprintf(stderr, "vorpane-server: a version is 1 to 64 visible ASCII characters\n");
        return 2;
    }
    std::optional<std::string> updateType;
    if (const auto it = options_.find("update-type"); it != options_.end()) {
        if (it->second != "soft" && it->second != "hard" && it->second != "none") {
            std::fprintf(stderr, "vorpane-server: --update-type is soft, hard or none\n");
            return 2;
        }
        updateType = it->second;
    }
    const std::unique_ptr<Ledger> ledger = Ledger::open(databasePath());
    ledger->setSetting("app_version", version);
    if (updateType) ledger->setSetting("update_type", *updateType);
    std::printf("%s %s\n", ledger->appVersion().c_str(), ledger->updateType().c_str());
    return 0;
}

}  // namespace vserver
