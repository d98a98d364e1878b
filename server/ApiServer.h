#pragma once

#include "BackgroundRemover.h"
#include "ConnectionGate.h"
#include "JobSlots.h"
#include "Ledger.h"
#include "ResultStore.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

namespace vserver {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0 takes a free port
    // "https://host[:port]" the clients reach the service at, through a TLS proxy; empty for
    // the address it listens on.
    std::string publicOrigin;
    std::string resultsFolder;
    std::chrono::seconds resultTtl{24 * 60 * 60};
    std::size_t threads = 16;  // threads taking removal requests (they wait for a job slot)
    std::size_t jobs = 2;      // removals running at once
    GateLimits limits;         // what one connection may cost
    bool logRequests = true;   // one line per request on standard error
};

// The HTTP service: the four endpoints under /api/v1/, the result images
// under /results/ and the account page.
class ApiServer final {
public:
    static constexpr std::size_t kMaxImageBytes = 12 * 1024 * 1024;  // refused from here on
    static constexpr std::size_t kMaxBodyBytes = 13 * 1024 * 1024;
    static constexpr const char* kApiBase = "/api/v1/";

    // Seconds a client is told to wait while the database cannot be reached.
    static constexpr int kRetryAfterSeconds = 5;
    // How often an instance tells the ledger it is alive, and how long one must be silent
    // before the charges it holds undelivered are given back.
    static constexpr std::chrono::seconds kHeartbeat{2};
    static constexpr std::chrono::seconds kSilence{12};

    ApiServer(ServeOptions options, BackgroundRemover& remover, ResultStore& results,
              Ledger& ledger);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Binds the listening socket; returns the port, or -1 when it cannot bind.
    int bind();
    // "http://host:port" of the bound socket.
    std::string origin() const;
    std::string baseUrl() const { return origin() + kApiBase; }
    // The base URL of the API as clients reach it: the public one, else baseUrl().
    std::string publicBaseUrl() const;

    // Serves until stop(); false when serving failed. Runs the result sweep.
    bool run();
    // Thread-safe; may be called before run() has started listening.
    void stop();

private:
    // The library's routing and request parsing, fed one complete request at a time by the
    // connection gate instead of its own thread-per-connection loop.
    class HttpServer final : public httplib::Server {
    public:
        // Answers the request read from the stream; closeConnection tells whether the
        // connection ends after the reply.
        void serve(httplib::Stream& stream, bool& closeConnection);
    };

    GateReply handle(const GateRequest& request);
    void installRoutes();
    void removeBackground(const httplib::Request& req, httplib::Response& res);
    void creditCheck(const httplib::Request& req, httplib::Response& res);
    void verifyKey(const httplib::Request& req, httplib::Response& res);
    void appVersion(const httplib::Request& req, httplib::Response& res);
    void result(const httplib::Request& req, httplib::Response& res);
    void account(const httplib::Request& req, httplib::Response& res);

    std::string resultUrl(const std::string& name) const;
    void sweepLoop();

    ServeOptions options_;
    BackgroundRemover& remover_;
    ResultStore& results_;
    Ledger& ledger_;
    JobSlots slots_;
    HttpServer http_;
    ConnectionGate gate_;
    int port_ = -1;

    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool sweepStop_ = false;
};

}  // namespace vserver
