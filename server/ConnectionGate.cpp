#include "ConnectionGate.h"

#include "Json.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace vserver {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxDrainBytes = 64 * 1024 * 1024;
constexpr int kMaxAcceptsPerWake = 64;
constexpr int kMaxReadsPerWake = 16;
constexpr milliseconds kTick{200};
constexpr int kRefusalsLoggedPerSecond = 10;
constexpr rlim_t kWantedDescriptors = 65536;
constexpr std::size_t kSpareDescriptors = 64;  // database, result files, standard streams

thread_local Exchange* tCurrentExchange = nullptr;

enum class Peer { Open, Closed, Reset };

// The peer's end as far as the socket knows, without taking any data. Data waiting to be read
// counts as open.
Peer peerState(int fd) {
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return Peer::Open;
    if (n == 0) return Peer::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Peer::Open : Peer::Reset;
}

enum class Delivery { Delivered, Pending, Lost };

// Whether what was written has reached the peer. Every byte acknowledged is delivered; a
// connection closed by a reset with bytes unacknowledged is lost (a peer that has closed its
// socket answers data with a reset instead of an acknowledgement; one that only half-closed it
// takes the data).
Delivery delivery(int fd) {
    // A reset empties the send queue too: the state is looked at first.
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state == TCP_CLOSE) {
        return Delivery::Lost;
    }
    int unacknowledged = 0;
    if (::ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0) {
        return Delivery::Delivered;
    }
    return Delivery::Pending;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Internal Server Error";
    }
}

std::string addressText(const sockaddr_storage& sa, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
        return text;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    port = ntohs(in6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text;
}

bool allDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Exchange* Exchange::current() {
    return tCurrentExchange;
}

bool Exchange::clientGone() const {
    // A client that has only closed its sending side still reads the answer: it is gone when
    // the connection was reset.
    return peerState(fd_) == Peer::Reset;
}

// ---------------------------------------------------------------------------------------------

WorkerPool::WorkerPool(std::size_t threads) {
    for (std::size_t i = 0; i < std::max<std::size_t>(1, threads); ++i) {
        threads_.emplace_back([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            while (true) {
                wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
                if (stopping_) return;
                std::function<void()> task = std::move(tasks_.front());
                tasks_.pop_front();
                lock.unlock();
                task();
                lock.lock();
            }
        });
    }
}

WorkerPool::~WorkerPool() {
    shutdown();
}

void WorkerPool::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

std::size_t WorkerPool::shutdown() {
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped = tasks_.size();
        tasks_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    threads_.clear();
    return dropped;
}

// ---------------------------------------------------------------------------------------------

struct ConnectionGate::Connection {
    // Confirming: a reply is written and the connection ends once the peer has acknowledged it
    // (or reset the connection instead).
    enum class State { Head, Body, Busy, Sending, Confirming, Lingering };

    int fd = -1;
    std::uint64_t id = 0;
    std::string address;
    int port = 0;
    std::string localAddress;
    int localPort = 0;
    State state = State::Head;
    std::uint32_t watched = 0;
    bool registered = false;
    bool peerClosed = false;

    // The request being read. `since` is when the connection went idle (no byte of a request
    // yet), when the request's first byte came, or when the current body window began.
    std::string in;
    Clock::time_point since;
    bool started = false;
    std::size_t scanned = 0;
    bool haveRequestLine = false;
    std::size_t requestLineEnd = 0;
    std::size_t headerLines = 0;
    std::size_t headEnd = 0;
    std::size_t bodyLength = 0;
    std::size_t windowBytes = 0;
    std::string method;
    std::string path;

    // The reply being written; `since` is the last progress, or the start of lingering.
    std::string out;
    std::size_t sent = 0;
    bool closeAfter = false;
    bool lingerAfter = false;
    Exchange::Fate fate;  // the last reply's, while it is not known
    std::size_t drained = 0;

    void resetRequest() {
        scanned = 0;
        haveRequestLine = false;
        requestLineEnd = headerLines = headEnd = bodyLength = windowBytes = 0;
        started = !in.empty();
        method.clear();
        path.clear();
    }
};

ConnectionGate::ConnectionGate(GateLimits limits, Handler handler, Classifier heavy,
                               std::size_t quickWorkers, std::size_t heavyWorkers, bool logRefusals)
    : limits_(limits),
      handler_(std::move(handler)),
      heavy_(std::move(heavy)),
      quick_(quickWorkers),
      heavyPool_(heavyWorkers),
      logRefusals_(logRefusals) {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    // Every connection is a descriptor: take what the system allows and stay below it.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        const rlim_t wanted = std::min<rlim_t>(files.rlim_max, kWantedDescriptors);
        if (files.rlim_cur < wanted) {
            files.rlim_cur = wanted;
            setrlimit(RLIMIT_NOFILE, &files);
            getrlimit(RLIMIT_NOFILE, &files);
        }
        const std::size_t usable = files.rlim_cur > 2 * kSpareDescriptors
                                       ? std::size_t(files.rlim_cur) - kSpareDescriptors
                                       : kSpareDescriptors;
        limits_.maxConnections = std::min(limits_.maxConnections, usable);
    }
}

ConnectionGate::~ConnectionGate() {
    quick_.shutdown();
    heavyPool_.shutdown();
    for (auto& entry : connections_) ::close(entry.first);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

int ConnectionGate::bind(const std::string& host, int port) {
    std::string name = host;
    if (name.size() > 1 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &found) != 0) {
        return -1;
    }
    for (addrinfo* ai = found; ai && listenFd_ < 0; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                ai->ai_protocol);
        if (fd < 0) continue;
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listenFd_ = fd;
        } else {
            ::close(fd);
        }
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) return -1;
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    int bound = 0;
    addressText(sa, bound);
    return bound;
}

void ConnectionGate::stop() {
    stopRequested_ = true;
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        // The counter is saturated: the loop is awake already.
    }
}

std::string ConnectionGate::refusal(int status, const std::string& text) {
    const std::string body = JsonObject().add("error", text).str();
    return "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

bool ConnectionGate::run() {
    if (listenFd_ < 0 || epollFd_ < 0 || wakeFd_ < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.data.fd = wakeFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    bool accepting = true;
    auto lastTick = Clock::now();

    std::vector<epoll_event> events(256);
    while (!stopRequested_) {
        const int n = epoll_wait(epollFd_, events.data(), int(events.size()), int(kTick.count()));
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd_) {
                accept();
            } else if (fd == wakeFd_) {
                std::uint64_t count = 0;
                [[maybe_unused]] auto r = ::read(wakeFd_, &count, sizeof count);
            } else if (const auto it = connections_.find(fd); it != connections_.end()) {
                onEvent(*it->second, events[i].events);
            }
        }
        std::vector<Done> done;
        {
            std::lock_guard<std::mutex> lock(doneMutex_);
            done.swap(done_);
        }
        for (Done& d : done) finish(std::move(d));

        const auto now = Clock::now();
        const bool paused = now < acceptPausedUntil_;
        if (paused == accepting) {
            ev.events = EPOLLIN;
            ev.data.fd = listenFd_;
            epoll_ctl(epollFd_, paused ? EPOLL_CTL_DEL : EPOLL_CTL_ADD, listenFd_, &ev);
            accepting = !paused;
        }
        if (now - lastTick >= kTick) {
            lastTick = now;
            checkDeadlines();
        }
    }

    ::close(listenFd_);
    listenFd_ = -1;
    // Requests not yet started are dropped (nothing was charged for them); running ones end,
    // and their replies get one chance to be written.
    quick_.shutdown();
    heavyPool_.shutdown();
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> lock(doneMutex_);
        done.swap(done_);
    }
    for (Done& d : done) {
        const ssize_t n =
            ::send(d.fd, d.reply.bytes.data(), d.reply.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        const bool delivered = n == ssize_t(d.reply.bytes.size()) && peerState(d.fd) != Peer::Reset;
        if (d.fate) d.fate(delivered);
    }
    for (auto& entry : connections_) ::close(entry.first);
    connections_.clear();
    perAddress_.clear();
    return true;
}

void ConnectionGate::accept() {
    for (int i = 0; i < kMaxAcceptsPerWake; ++i) {
        sockaddr_storage sa{};
        socklen_t length = sizeof sa;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&sa), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: let what is open finish first.
                acceptPausedUntil_ = Clock::now() + milliseconds(100);
            }
            return;
        }
        auto owned = std::make_unique<Connection>();
        Connection& c = *owned;
        c.fd = fd;
        c.id = nextId_++;
        c.address = addressText(sa, c.port);
        sockaddr_storage local{};
        socklen_t localLength = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0) {
            c.localAddress = addressText(local, c.localPort);
        }
        c.since = Clock::now();
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        connections_.emplace(fd, std::move(owned));
        const std::size_t fromAddress = ++perAddress_[c.address];
        if (connections_.size() > limits_.maxConnections) {
            refuse(c, 503, "The server has too many connections open", false);
        } else if (fromAddress > limits_.maxConnectionsPerAddress) {
            refuse(c, 429, "Too many connections from this address", false);
        } else {
            watch(c, EPOLLIN | EPOLLRDHUP);
        }
    }
}

void ConnectionGate::watch(Connection& c, std::uint32_t events) {
    if (c.registered && c.watched == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = c.fd;
    if (events == 0) {
        if (c.registered) epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, &ev);
        c.registered = false;
    } else {
        epoll_ctl(epollFd_, c.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &ev);
        c.registered = true;
    }
    c.watched = events;
}

void ConnectionGate::onEvent(Connection& c, std::uint32_t events) {
    switch (c.state) {
        case Connection::State::Head:
        case Connection::State::Body:
            readRequest(c);
            break;
        case Connection::State::Sending:
            if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) flush(c);
            break;
        case Connection::State::Confirming:
            confirm(c);
            break;
        case Connection::State::Lingering: {
            char scratch[kReadChunk];
            while (true) {
                const ssize_t n = ::recv(c.fd, scratch, sizeof scratch, 0);
                if (n > 0) {
                    c.drained += std::size_t(n);
                    if (c.drained > kMaxDrainBytes) return close(c);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
                return close(c);
            }
        }
        case Connection::State::Busy:
            break;
    }
}

void ConnectionGate::readRequest(Connection& c) {
    char chunk[kReadChunk];
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        std::size_t want = sizeof chunk;
        if (c.state == Connection::State::Body) {
            // Exactly the body; what follows it stays in the socket until this one is answered.
            want = std::min(want, c.headEnd + c.bodyLength - c.in.size());
        }
        const ssize_t n = ::recv(c.fd, chunk, want, 0);
        if (n == 0) {
            // Done sending: gone before its request was complete, or after the last reply,
            // which it may still be taking in.
            c.peerClosed = true;
            return confirm(c);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // A reset right after a reply: the client closed with the reply unread.
            settle(c, false);
            return close(c);
        }
        settle(c, true);
        if (!c.started) {
            c.started = true;
            c.since = Clock::now();
        }
        c.in.append(chunk, std::size_t(n));
        if (c.state == Connection::State::Body) c.windowBytes += std::size_t(n);
        if (c.state == Connection::State::Head) parseHead(c);
        if (c.state == Connection::State::Body && c.in.size() >= c.headEnd + c.bodyLength) {
            return dispatch(c);
        }
        if (c.state != Connection::State::Head && c.state != Connection::State::Body) return;
    }
}

bool ConnectionGate::parseHead(Connection& c) {
    while (true) {
        const std::size_t newline = c.in.find('\n', c.scanned);
        if (newline == std::string::npos) break;
        const std::size_t start = c.scanned;
        std::size_t end = newline;
        if (end > start && c.in[end - 1] == '\r') --end;
        c.scanned = newline + 1;
        if (!c.haveRequestLine) {
            if (end == start) {  // a stray line end between requests
                c.in.erase(0, c.scanned);
                c.scanned = 0;
                continue;
            }
            if (end - start > limits_.maxRequestLineBytes) {
                refuse(c, 414, "The request line is too long");
                return false;
            }
            c.haveRequestLine = true;
            c.requestLineEnd = c.scanned;
            continue;
        }
        if (end == start) {
            c.headEnd = c.scanned;
            break;
        }
        if (++c.headerLines > limits_.maxHeaderLines) {
            refuse(c, 431, "More than " + std::to_string(limits_.maxHeaderLines) + " header lines");
            return false;
        }
        if (c.scanned - c.requestLineEnd > limits_.maxHeaderBytes) {
            refuse(c, 431, "The request headers are too large");
            return false;
        }
    }
    if (c.headEnd == 0) {
        if (!c.haveRequestLine && c.in.size() > limits_.maxRequestLineBytes) {
            refuse(c, 414, "The request line is too long");
        } else if (c.haveRequestLine && c.in.size() - c.requestLineEnd > limits_.maxHeaderBytes) {
            refuse(c, 431, "The request headers are too large");
        }
        return false;
    }

    // The head is complete: judge it before any of the body is taken.
    std::string requestLine = c.in.substr(0, c.requestLineEnd);
    while (!requestLine.empty() && (requestLine.back() == '\n' || requestLine.back() == '\r')) {
        requestLine.pop_back();
    }
    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace ||
        requestLine.compare(lastSpace + 1, 7, "HTTP/1.") != 0) {
        refuse(c, 400, "Malformed request line");
        return false;
    }
    c.method = requestLine.substr(0, firstSpace);
    const std::string target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    c.path = target.substr(0, target.find('?'));

    std::optional<std::string> length;
    std::size_t expectStart = 0, expectEnd = 0;
    for (std::size_t pos = c.requestLineEnd; pos < c.headEnd;) {
        const std::size_t next = c.in.find('\n', pos) + 1;
        std::string line = c.in.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) {
            const auto colon = line.find(':');
            if (colon == std::string::npos || colon == 0) {
                refuse(c, 400, "Malformed header line");
                return false;
            }
            const std::string name = lower(trimmed(line.substr(0, colon)));
            const std::string value = trimmed(line.substr(colon + 1));
            if (name == "content-encoding" && lower(value) != "identity") {
                refuse(c, 415, "Request bodies must not be compressed (Content-Encoding)");
                return false;
            }
            if (name == "transfer-encoding") {
                refuse(c, 411, "Send the body with a Content-Length");
                return false;
            }
            if (name == "content-length") {
                if (!allDigits(value) || (length && *length != value)) {
                    refuse(c, 400, "Malformed Content-Length");
                    return false;
                }
                length = value;
            }
            if (name == "expect" && lower(value) == "100-continue") {
                expectStart = pos;
                expectEnd = next;
            }
        }
        pos = next;
    }
    const bool needsLength = c.method == "POST" || c.method == "PUT" || c.method == "PATCH";
    if (!length && needsLength) {
        refuse(c, 411, "Send the body with a Content-Length");
        return false;
    }
    const std::string digits =
        length ? length->substr(std::min(length->find_first_not_of('0'), length->size() - 1)) : "0";
    if (digits.size() > 12 || std::stoull(digits) > limits_.maxBodyBytes) {
        refuse(c, 413, "Request body is larger than 13 MB");
        return false;
    }
    c.bodyLength = std::stoull(digits);
    if (expectEnd > expectStart) {
        // Answered here; the handlers see a request that no longer waits for it.
        c.in.erase(expectStart, expectEnd - expectStart);
        c.headEnd -= expectEnd - expectStart;
        if (c.in.size() < c.headEnd + c.bodyLength) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    c.state = Connection::State::Body;
    c.since = Clock::now();
    c.windowBytes = 0;
    if (c.in.capacity() < c.headEnd + c.bodyLength) c.in.reserve(c.headEnd + c.bodyLength);
    return true;
}

bool ConnectionGate::drawDrop() {
    if (limits_.dropShare <= 0) return false;
    // xorshift64*: plenty for picking which requests to drop.
    dropState_ ^= dropState_ >> 12;
    dropState_ ^= dropState_ << 25;
    dropState_ ^= dropState_ >> 27;
    const std::uint64_t draw = (dropState_ * 0x2545F4914F6CDD1DULL) >> 11;
    return double(draw) / double(1ULL << 53) < limits_.dropShare / 2;
}

void ConnectionGate::resetAndClose(Connection& c) {
    const struct ::linger now { 1, 0 };
    ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(c);
}

void ConnectionGate::dispatch(Connection& c) {
    if (drawDrop()) return resetAndClose(c);  // lost on its way in
    auto request = std::make_shared<GateRequest>();
    const std::size_t total = c.headEnd + c.bodyLength;
    if (c.in.size() == total) {
        request->bytes = std::move(c.in);
        c.in.clear();
    } else {
        request->bytes = c.in.substr(0, total);
        c.in.erase(0, total);
    }
    request->method = c.method;
    request->path = c.path;
    request->peerAddress = c.address;
    request->peerPort = c.port;
    request->localAddress = c.localAddress;
    request->localPort = c.localPort;
    c.state = Connection::State::Busy;
    watch(c, 0);
    c.resetRequest();
    WorkerPool& pool = heavy_ && heavy_(*request) ? heavyPool_ : quick_;
    pool.post([this, fd = c.fd, id = c.id, request] { work(fd, id, request); });
}

void ConnectionGate::work(int fd, std::uint64_t id, const std::shared_ptr<GateRequest>& request) {
    Exchange exchange;
    exchange.fd_ = fd;
    tCurrentExchange = &exchange;
    GateReply reply;
    try {
        reply = handler_(*request);
    } catch (...) {
        reply.bytes = refusal(500, "Internal server error");
        reply.close = true;
    }
    tCurrentExchange = nullptr;
    if (exchange.abandoned_ || reply.bytes.empty()) {
        reply.bytes.clear();
        reply.close = true;
    }
    {
        std::lock_guard<std::mutex> lock(doneMutex_);
        done_.push_back(Done{fd, id, std::move(reply), std::move(exchange.fate_)});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void ConnectionGate::finish(Done done) {
    const auto it = connections_.find(done.fd);
    if (it == connections_.end() || it->second->id != done.id) {
        decide(done.fate, false);
        return;
    }
    Connection& c = *it->second;
    if (done.fate && peerState(c.fd) == Peer::Reset) {
        // The client left while its request was handled: no one to answer.
        decide(done.fate, false);
        return close(c);
    }
    if (drawDrop()) {
        // Lost on its way out.
        decide(done.fate, false);
        return resetAndClose(c);
    }
    c.out = std::move(done.reply.bytes);
    c.sent = 0;
    c.closeAfter = done.reply.close || c.peerClosed;
    c.lingerAfter = false;
    c.fate = std::move(done.fate);
    c.state = Connection::State::Sending;
    c.since = Clock::now();
    flush(c);
}

void ConnectionGate::flush(Connection& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n =
            ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.sent += std::size_t(n);
            c.since = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return watch(c, EPOLLOUT);
        settle(c, false);
        return close(c);
    }
    afterReply(c);
}

void ConnectionGate::afterReply(Connection& c) {
    std::string().swap(c.out);
    c.sent = 0;
    // A write into a socket whose peer has just closed still succeeds; the peer answers the data
    // with a reset. While the connection waits for its next request, a reset settles the reply as
    // undelivered and a new request as delivered; at its end, whether the peer acknowledged it.
    if (c.closeAfter) {
        if (c.fate) return confirm(c);
        return c.lingerAfter ? linger(c) : close(c);
    }
    c.state = Connection::State::Head;
    c.since = Clock::now();
    c.resetRequest();
    watch(c, EPOLLIN | EPOLLRDHUP);
    if (!c.in.empty()) {  // the client sent its next request early
        parseHead(c);
        if (c.state == Connection::State::Body && c.in.size() >= c.headEnd + c.bodyLength) {
            dispatch(c);
        }
    }
}

void ConnectionGate::refuse(Connection& c, int status, const std::string& reason, bool drain) {
    log("vorpane-server: refused " + std::to_string(status) + " from " + c.address + ": " + reason);
    std::string().swap(c.in);
    c.out = refusal(status, reason);
    c.sent = 0;
    c.closeAfter = true;
    c.lingerAfter = drain;
    c.state = Connection::State::Sending;
    c.since = Clock::now();
    flush(c);
}

void ConnectionGate::linger(Connection& c) {
    // Closing with unread input would reset the connection and could destroy the reply before
    // the client reads it; take in what it still sends, for a while.
    ::shutdown(c.fd, SHUT_WR);
    c.state = Connection::State::Lingering;
    c.since = Clock::now();
    c.drained = 0;
    watch(c, EPOLLIN | EPOLLRDHUP);
}

void ConnectionGate::confirm(Connection& c, bool timedOut) {
    if (!c.fate) return c.peerClosed ? close(c) : linger(c);
    switch (delivery(c.fd)) {
        case Delivery::Delivered:
            settle(c, true);
            return c.peerClosed ? close(c) : linger(c);
        case Delivery::Lost:
            settle(c, false);
            return close(c);
        case Delivery::Pending:
            if (timedOut) {
                settle(c, false);
                return close(c);
            }
            break;
    }
    if (c.state != Connection::State::Confirming) {
        c.state = Connection::State::Confirming;
        c.since = Clock::now();
        // Only a reset wakes it; the acknowledgement is looked for on every tick.
        watch(c, EPOLLERR);
    }
}

void ConnectionGate::settle(Connection& c, bool delivered) {
    decide(c.fate, delivered);
}

void ConnectionGate::decide(Exchange::Fate& fate, bool delivered) {
    if (!fate) return;
    quick_.post([fate = std::move(fate), delivered] { fate(delivered); });
    fate = nullptr;
}

void ConnectionGate::close(Connection& c) {
    watch(c, 0);
    ::close(c.fd);
    const auto count = perAddress_.find(c.address);
    if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
    connections_.erase(c.fd);  // destroys c
}

void ConnectionGate::checkDeadlines() {
    const auto now = Clock::now();
    // fd, and 0 close, 1 look for the acknowledgement, -1 give up waiting for it, or an HTTP
    // status to refuse with.
    std::vector<std::pair<int, int>> actions;
    for (const auto& [fd, owned] : connections_) {
        Connection& c = *owned;
        const auto age = now - c.since;
        switch (c.state) {
            case Connection::State::Head:
                // The last reply, acknowledged while the connection waits for the next request.
                if (c.fate && delivery(fd) == Delivery::Delivered) settle(c, true);
                if (!c.started && age > limits_.idleTime) actions.emplace_back(fd, 0);
                if (c.started && age > limits_.headerTime) actions.emplace_back(fd, 408);
                break;
            case Connection::State::Body:
                if (age >= limits_.bodyRateWindow) {
                    const double seconds = std::chrono::duration<double>(age).count();
                    if (c.windowBytes < limits_.minBodyBytesPerSecond * seconds) {
                        actions.emplace_back(fd, 408);
                    } else {
                        c.since = now;
                        c.windowBytes = 0;
                    }
                }
                break;
            case Connection::State::Sending:
                if (age > limits_.sendStallTime) actions.emplace_back(fd, 0);
                break;
            case Connection::State::Confirming:
                actions.emplace_back(fd, age > limits_.sendStallTime ? -1 : 1);
                break;
            case Connection::State::Lingering:
                if (age > limits_.lingerTime) actions.emplace_back(fd, 0);
                break;
            case Connection::State::Busy:
                break;
        }
    }
    for (const auto& [fd, status] : actions) {
        const auto it = connections_.find(fd);
        if (it == connections_.end()) continue;
        if (status == 1 || status == -1) {
            confirm(*it->second, status == -1);
        } else if (status == 0) {
            // Idle after a reply counts as delivered unless the peer reset it; a reply stalled
            // while being written not.
            Connection& c = *it->second;
            settle(c, c.state != Connection::State::Sending && delivery(c.fd) != Delivery::Lost);
            close(c);
        } else {
            const bool body = it->second->state == Connection::State::Body;
            refuse(*it->second, status,
                   body ? "The request body arrives too slowly" : "The request head took too long",
                   false);
        }
    }
    if (unlogged_ > 0 && now - logWindow_ >= std::chrono::seconds(1)) log({});
}

void ConnectionGate::log(const std::string& line) {
    if (!logRefusals_) return;
    const auto now = Clock::now();
    if (now - logWindow_ >= std::chrono::seconds(1)) {
        if (unlogged_ > 0) {
            std::fprintf(stderr, "vorpane-server: %d more refusals not logged\n", unlogged_);
        }
        logWindow_ = now;
        logged_ = 0;
        unlogged_ = 0;
    }
    if (line.empty()) return;
    if (logged_ >= kRefusalsLoggedPerSecond) {
        ++unlogged_;
        return;
    }
    ++logged_;
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace vserver
