#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vserver {

// What a connection may cost the server before it is refused or closed.
struct GateLimits {
    std::size_t maxRequestLineBytes = 8 * 1024;   // 414 beyond
    std::size_t maxHeaderLines = 100;             // 431 beyond
    std::size_t maxHeaderBytes = 16 * 1024;       // 431 beyond, request line not counted
    std::size_t maxBodyBytes = 13 * 1024 * 1024;  // 413 beyond, judged on the declared length
    std::chrono::milliseconds headerTime{10000};  // from the first byte of a request to its body
    std::chrono::milliseconds idleTime{5000};     // a connection with no request under way
    std::size_t minBodyBytesPerSecond = 4096;     // judged over each bodyRateWindow
    std::chrono::milliseconds bodyRateWindow{5000};
    std::chrono::milliseconds sendStallTime{20000};  // a reply that makes no progress
    std::chrono::milliseconds lingerTime{5000};      // draining a refused body before closing
    std::size_t maxConnectionsPerAddress = 64;
    std::size_t maxConnections = 4096;  // lowered to what the descriptor limit allows
    // For trying clients against an unreliable service: this share of the requests is dropped,
    // the connection reset either before the request is handled or after (its reply then counts
    // as undelivered).
    double dropShare = 0;
};

// One complete request, head and body, as it came off the wire.
struct GateRequest {
    std::string bytes;
    std::string method;
    std::string path;
    std::string peerAddress;
    int peerPort = 0;
    std::string localAddress;
    int localPort = 0;
};

// The bytes a worker answers with, and whether the connection ends after them.
struct GateReply {
    std::string bytes;
    bool close = false;
};

// The connection a request is being handled for, as its handler sees it. Valid on the worker
// thread for the duration of the handler.
class Exchange final {
public:
    // The request's handler on this thread, or nullptr outside one.
    static Exchange* current();

    // True when the client has reset the connection: an answer would not reach it. A client
    // that has only finished sending (a half-close) still reads its answer.
    bool clientGone() const;
    // Called once, on a worker thread, when the reply's fate is known: false when the client
    // turned out to be gone before its reply was written, the reply could not be written, or
    // the client reset the connection with the reply unread; true once the peer has it.
    using Fate = std::function<void(bool delivered)>;
    void onSettled(Fate fate) { fate_ = std::move(fate); }
    // Ends the connection without any reply (the handler's answer is dropped).
    void abandon() { abandoned_ = true; }

private:
    friend class ConnectionGate;
    int fd_ = -1;
    bool abandoned_ = false;
    Fate fate_;
};

// A fixed set of threads running queued tasks in order.
class WorkerPool final {
public:
    explicit WorkerPool(std::size_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(std::function<void()> task);
    // Drops the tasks not yet started, waits for the running ones; returns how many were dropped.
    std::size_t shutdown();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Accepts connections and reads requests on one event-driven thread, holding each to
// GateLimits, and hands only complete requests to worker threads. Waiting for a slow or idle
// client never occupies a worker; replies are written back by the event thread.
class ConnectionGate final {
public:
    using Handler = std::function<GateReply(const GateRequest&)>;
    // True for requests that go to the heavy workers rather than the quick ones.
    using Classifier = std::function<bool(const GateRequest&)>;

    ConnectionGate(GateLimits limits, Handler handler, Classifier heavy, std::size_t quickWorkers,
                   std::size_t heavyWorkers, bool logRefusals);
    ~ConnectionGate();
    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Listens on host:port (0 takes a free port); returns the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when it cannot.
    bool run();
    // Thread-safe, also before run().
    void stop();

    // A complete reply refusing a request: status line, JSON {"error": text}, connection close.
    static std::string refusal(int status, const std::string& text);

private:
    struct Connection;
    struct Done {
        int fd;
        std::uint64_t id;
        GateReply reply;
        Exchange::Fate fate;
    };

    void accept();
    void onEvent(Connection& c, std::uint32_t events);
    void readRequest(Connection& c);
    bool parseHead(Connection& c);
    void dispatch(Connection& c);
    void work(int fd, std::uint64_t id, const std::shared_ptr<GateRequest>& request);
    void finish(Done done);
    void flush(Connection& c);
    void refuse(Connection& c, int status, const std::string& reason, bool linger = true);
    void afterReply(Connection& c);
    // Ends a connection whose last reply may still be on its way: at once when the peer has
    // acknowledged it or reset the connection, else on a later tick (given up when timedOut).
    void confirm(Connection& c, bool timedOut = false);
    // Ends the wait for a reply's fate.
    void settle(Connection& c, bool delivered);
    // Tells a waiting handler its reply's fate, on a worker thread.
    void decide(Exchange::Fate& fate, bool delivered);
    void linger(Connection& c);
    void close(Connection& c);
    void watch(Connection& c, std::uint32_t events);
    void checkDeadlines();
    void log(const std::string& line);

    GateLimits limits_;
    std::uint64_t dropState_ = 0x9e3779b97f4a7c15ULL;  // the loop thread's draws for dropShare
    // True for the share of the draws given by dropShare.
    bool drawDrop();
    // Closes with a reset, as a broken connection ends.
    void resetAndClose(Connection& c);
    Handler handler_;
    Classifier heavy_;
    WorkerPool quick_;
    WorkerPool heavyPool_;
    bool logRefusals_;

    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::uint64_t nextId_ = 1;
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;
    std::unordered_map<std::string, std::size_t> perAddress_;
    std::chrono::steady_clock::time_point acceptPausedUntil_{};

    std::mutex doneMutex_;
    std::vector<Done> done_;
    std::atomic<bool> stopRequested_{false};

    std::chrono::steady_clock::time_point logWindow_{};
    int logged_ = 0;
    int unlogged_ = 0;
};

}  // namespace vserver
