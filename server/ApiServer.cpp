#include "ApiServer.h"

#include "AccountPage.h"
#include "Json.h"
#include "PublicAddress.h"

#include <malloc.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

namespace vserver {

namespace {

using httplib::Request;
using httplib::Response;

constexpr const char* kJson = "application/json";
// Threads for everything but removals: quick requests never queue behind images.
constexpr std::size_t kQuickWorkers = 4;

// A removal's buffers come to tens of megabytes. malloc keeps them while the job runs (fresh
// pages from the system for every one would cost more than the work on them) and hands them
// back when it is over, so an idle server does not hold the largest job it has seen.
struct ReturnFreedMemory {
    ReturnFreedMemory() = default;
    ReturnFreedMemory(const ReturnFreedMemory&) = delete;
    ReturnFreedMemory& operator=(const ReturnFreedMemory&) = delete;
    ~ReturnFreedMemory() { malloc_trim(0); }
};

// One complete request in memory as the library's input, and the reply it writes as output.
class BufferStream final : public httplib::Stream {
public:
    BufferStream(const GateRequest& request, std::string& out) : request_(request), out_(out) {}
    using httplib::Stream::write;

    bool is_readable() const override { return read_ < request_.bytes.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        const std::size_t n = std::min(size, request_.bytes.size() - read_);
        std::memcpy(ptr, request_.bytes.data() + read_, n);
        read_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        out_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = request_.peerAddress;
        port = request_.peerPort;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = request_.localAddress;
        port = request_.localPort;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

private:
    const GateRequest& request_;
    std::string& out_;
    std::size_t read_ = 0;
};

void sendJson(Response& res, int status, const JsonObject& body) {
    res.status = status;
    res.set_content(body.str(), kJson);
}

void sendError(Response& res, int status, const std::string& text) {
    sendJson(res, status, JsonObject().add("error", text));
}

const char* defaultErrorText(int status) {
    switch (status) {
        case 400:
            return "Malformed request";
        case 404:
            return "Not found";
        case 405:
            return "Method not allowed";
        case 408:
            return "Request timed out";
        case 413:
            return "Request body is larger than 13 MB";
        case 414:
            return "Request URI too long";
        case 415:
            return "Unsupported content encoding";
        case 416:
            return "Range not satisfiable";
        default:
            return status >= 500 ? "Internal server error" : "Request refused";
    }
}

// A form field: a multipart part, or else a URL-encoded parameter.
std::optional<std::string> field(const Request& req, const std::string& name) {
    const auto part = req.files.find(name);
    if (part != req.files.end()) return part->second.content;
    if (req.has_param(name)) return req.get_param_value(name);
    return std::nullopt;
}

std::string missingField(const std::string& name) {
    return "Missing field \"" + name + "\"";
}

bool isWildcard(const std::string& host) {
    return host == "0.0.0.0" || host == "::" || host == "[::]" || host.empty();
}

std::string hostForUrl(const std::string& host) {
    if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
    return host;
}

// A client on this computer: connected from loopback, and when a proxy on this computer passed
// the request on, every address it names for the client is loopback too.
bool isLocalClient(const Request& req) {
    if (!isLoopbackHost(req.remote_addr)) return false;
    if (req.has_header("Forwarded")) return false;  // not written by the documented proxy set-up
    for (const char* header : {"X-Forwarded-For", "X-Real-IP"}) {
        const std::size_t count = req.get_header_value_count(header);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string value = req.get_header_value(header, i);
            std::size_t start = 0;
            while (start <= value.size()) {
                const std::size_t end = std::min(value.find(',', start), value.size());
                std::string address = value.substr(start, end - start);
                address.erase(0, address.find_first_not_of(' '));
                address.erase(address.find_last_not_of(' ') + 1);
                if (!isLoopbackHost(address)) return false;
                start = end + 1;
            }
        }
    }
    return true;
}

}  // namespace

ApiServer::ApiServer(ServeOptions options, BackgroundRemover& remover, ResultStore& results,
                     Ledger& ledger)
    : options_(std::move(options)),
      remover_(remover),
      results_(results),
      ledger_(ledger),
      slots_(options_.jobs),
      gate_(
          options_.limits, [this](const GateRequest& request) { return handle(request); },
          [](const GateRequest& request) {
              return request.method == "POST" &&
                     request.path == std::string(kApiBase) + "remove_image_background";
          },
          kQuickWorkers, std::max<std::size_t>(1, options_.threads), options_.logRequests) {
    http_.set_payload_max_length(kMaxBodyBytes);
    // The connection gate closes idle connections; these only shape the Keep-Alive header.
    http_.set_keep_alive_max_count(100);
    http_.set_keep_alive_timeout(
        std::chrono::duration_cast<std::chrono::seconds>(options_.limits.idleTime).count());
    installRoutes();
}

ApiServer::~ApiServer() {
    stop();
}

void ApiServer::installRoutes() {
    const std::string base = kApiBase;
    http_.Post(base + "remove_image_background",
               [this](const Request& req, Response& res) { removeBackground(req, res); });
    http_.Post(base + "credit_check",
               [this](const Request& req, Response& res) { creditCheck(req, res); });
    http_.Post(base + "api_key_verification",
               [this](const Request& req, Response& res) { verifyKey(req, res); });
    http_.Post(base + "get_app_version",
               [this](const Request& req, Response& res) { appVersion(req, res); });
    http_.Get(base + "(remove_image_background|credit_check|api_key_verification|get_app_version)",
              [](const Request&, Response& res) {
                  res.set_header("Allow", "POST");
                  sendError(res, 405, "Use POST with a multipart form");
              });
    http_.Get("/results/([0-9a-f]{32}/[A-Za-z0-9._-]{1,100}\\.(?:png|jpg))",
              [this](const Request& req, Response& res) { result(req, res); });
    http_.Get("/account", [this](const Request& req, Response& res) { account(req, res); });

    // Every refusal carries a JSON "error", the library's own ones included
    // (unknown path, oversized or malformed body).
    http_.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(JsonObject().add("error", defaultErrorText(res.status)).str(), kJson);
        return httplib::Server::HandlerResponse::Handled;
    }));
    http_.set_exception_handler([](const Request& req, Response& res, std::exception_ptr ep) {
        std::string what = "unknown exception";
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const LedgerUnavailable&) {
            // Logged once by the ledger; the clients try again after a while.
            res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
            return sendError(res, 503, "The service's database cannot be reached; try again soon");
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "error: %s %s: %s\n", req.method.c_str(), req.path.c_str(),
                     what.c_str());
        sendError(res, 500, "Internal server error");
    });
    if (options_.logRequests) {
        http_.set_logger([](const Request& req, const Response& res) {
            std::fprintf(stderr, "%s %s %s %d\n", req.remote_addr.c_str(), req.method.c_str(),
                         req.path.c_str(), res.status);
        });
    }
}

void ApiServer::HttpServer::serve(httplib::Stream& stream, bool& closeConnection) {
    if (!process_request(stream, false, closeConnection, nullptr)) closeConnection = true;
}

GateReply ApiServer::handle(const GateRequest& request) {
    GateReply reply;
    BufferStream stream(request, reply.bytes);
    http_.serve(stream, reply.close);
    return reply;
}

int ApiServer::bind() {
    port_ = gate_.bind(options_.host, options_.port);
    return port_;
}

std::string ApiServer::publicBaseUrl() const {
    return options_.publicOrigin.empty() ? baseUrl() : options_.publicOrigin + kApiBase;
}

std::string ApiServer::origin() const {
    const std::string host = isWildcard(options_.host) ? "127.0.0.1" : options_.host;
    return "http://" + hostForUrl(host) + ":" + std::to_string(port_);
}

bool ApiServer::run() {
    std::thread sweeper([this] { sweepLoop(); });
    const bool ok = gate_.run();
    {
        std::lock_guard<std::mutex> lock(sweepMutex_);
        sweepStop_ = true;
    }
    sweepWake_.notify_all();
    sweeper.join();
    return ok;
}

void ApiServer::stop() {
    gate_.stop();
}

void ApiServer::sweepLoop() {
    using Clock = std::chrono::steady_clock;
    const auto sweepInterval = std::clamp<std::chrono::seconds>(
        results_.ttl() / 2, std::chrono::seconds(1), std::chrono::seconds(300));
    auto nextSweep = Clock::now();
    std::optional<Clock::time_point> heardSince;  // the heartbeats got through since then
    std::unique_lock<std::mutex> lock(sweepMutex_);
    while (!sweepStop_) {
        lock.unlock();
        const auto now = Clock::now();
        try {
            ledger_.heartbeat();
            if (!heardSince) heardSince = now;
        } catch (const LedgerError&) {
            heardSince.reset();
        }
        // Only an instance heard all along judges another's silence: after an outage of the
        // database every instance has been silent.
        if (heardSince && now - *heardSince >= kSilence) {
            try {
                const std::size_t given = ledger_.reclaimAbandoned(kSilence);
                if (given > 0 && options_.logRequests) {
                    std::fprintf(stderr,
                                 "vorpane-server: %zu credit(s) given back, charged by an "
                                 "instance that stopped before its answers were delivered\n",
                                 given);
                }
            } catch (const LedgerError&) {
                // Tried again on the next beat.
            }
        }
        if (now >= nextSweep) {
            nextSweep = now + sweepInterval;
            results_.sweep();
            try {
                ledger_.forgetResultsOlderThan(results_.ttl());
            } catch (const LedgerError&) {
                // Tried again at the next sweep.
            }
        }
        lock.lock();
        sweepWake_.wait_for(lock, kHeartbeat, [this] { return sweepStop_; });
    }
}

void ApiServer::removeBackground(const Request& req, Response& res) {
    const std::string key = req.get_header_value("API-KEY");
    const std::optional<Balances> balances =
        Ledger::isValidKey(key) ? ledger_.balances(key) : std::nullopt;
    if (!balances) return sendError(res, 401, "Invalid API key");

    const std::optional<std::string> formatText = field(req, "format");
    if (!formatText) return sendError(res, 400, missingField("format"));
    RemovalOptions options;
    if (const auto format = BackgroundRemover::parseFormat(*formatText)) {
        options.format = *format;
    } else {
        return sendError(res, 400, "\"format\" must be \"png\" or \"jpg\"");
    }
    if (const auto colourText = field(req, "bg_color_code")) {
        options.background = BackgroundRemover::parseColour(*colourText);
        if (!options.background) {
            return sendError(res, 400, "\"bg_color_code\" must be a colour written #RRGGBB");
        }
    }
    const bool showCredit = field(req, "credit_info").value_or("") == "show";

    const auto file = req.files.find("source_image_file");
    if (file == req.files.end()) return sendError(res, 400, missingField("source_image_file"));
    const std::string& bytes = file->second.content;
    if (bytes.size() >= kMaxImageBytes) {
        return sendError(res, 413, "Image size is larger than 12 MB");
    }
    const std::optional<cv::Size> size = BackgroundRemover::declaredSize(bytes);
    if (!size) return sendError(res, 400, "The file is not a PNG or JPEG image");
    if (std::int64_t(size->width) * size->height > BackgroundRemover::kMaxPixels) {
        return sendError(res, 400, "The image has more than 50 megapixels");
    }
    if (balances->total() <= 0) return sendError(res, 402, "No credit left");

    // Work for a client that has gone is not charged: look before the work, after it and once
    // the reply is written.
    Exchange* const exchange = Exchange::current();
    const auto clientGone = [exchange] { return exchange && exchange->clientGone(); };

    const ReturnFreedMemory returnMemory;
    JobSlots::Guard slot(slots_);
    if (clientGone()) return exchange->abandon();
    const cv::Mat image = BackgroundRemover::decode(bytes);
    if (image.empty()) return sendError(res, 400, "The image data is damaged");

    // The work comes first and the charge just before the answer: a service stopped or killed
    // while it works has charged nothing.
    const std::string name =
        results_.store(remover_.render(image, options), ResultStore::stemFor(file->second.filename),
                       BackgroundRemover::extension(options.format));
    if (clientGone()) {
        results_.remove(name);
        return exchange->abandon();
    }
    ChargeResult charge;
    try {
        charge = ledger_.charge(key, name);
    } catch (...) {
        results_.remove(name);
        throw;
    }
    if (charge.outcome != ChargeResult::Outcome::Charged) results_.remove(name);
    if (charge.outcome == ChargeResult::Outcome::UnknownKey) {
        return sendError(res, 401, "Invalid API key");
    }
    if (charge.outcome == ChargeResult::Outcome::NoCredit) {
        return sendError(res, 402, "No credit left");
    }
    const auto settle = [this, name, client = req.remote_addr](bool delivered) {
        try {
            if (delivered) return ledger_.delivered(name);
            // A result downloaded meanwhile was delivered after all: its charge and file stay.
            if (!ledger_.refund(name)) return;
            results_.remove(name);
            if (options_.logRequests) {
                std::fprintf(stderr, "%s: removal not delivered, credit refunded\n",
                             client.c_str());
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "error: settling the charge for %s failed: %s\n", client.c_str(),
                         e.what());
        }
    };
    if (clientGone()) {
        settle(false);
        return exchange->abandon();
    }
    if (exchange) {
        exchange->onSettled(settle);
    } else {
        settle(true);
    }

    JsonObject reply;
    reply.add("output_image_url", resultUrl(name));
    if (showCredit) {
        reply.add("ff_credit", charge.after.free)
            .add("tp_credit", charge.after.topup)
            .add("sp_credit", charge.after.subscription);
    }
    sendJson(res, 200, reply);
}

void ApiServer::creditCheck(const Request& req, Response& res) {
    const std::optional<std::string> key = field(req, "api_key");
    if (!key) return sendError(res, 400, missingField("api_key"));
    // No key yet is not a wrong key: the app asks for credits at launch, before the user has
    // entered one, and must not be told that its key is invalid.
    if (key->empty()) return sendJson(res, 200, JsonObject().add("message", "api key required"));
    const std::optional<Balances> b =
        Ledger::isValidKey(*key) ? ledger_.balances(*key) : std::nullopt;
    if (!b) return sendJson(res, 200, JsonObject().add("message", "invalid api key"));
    sendJson(res, 200,
             JsonObject()
                 .add("other_remain_credit", b->free)
                 .add("pay_as_you _go_plan_remain_credit", b->topup)
                 .add("subscription_plan_remain_credit", b->subscription));
}

void ApiServer::verifyKey(const Request& req, Response& res) {
    const std::optional<std::string> key = field(req, "api_key");
    if (!key) return sendError(res, 400, missingField("api_key"));
    const bool known = Ledger::isValidKey(*key) && ledger_.balances(*key).has_value();
    sendJson(res, 200, JsonObject().add("message", known ? "success" : "invalid api key"));
}

void ApiServer::appVersion(const Request& req, Response& res) {
    if (!field(req, "app_type")) return sendError(res, 400, missingField("app_type"));
    sendJson(res, 200,
             JsonObject()
                 .add("app_version", ledger_.appVersion())
                 .add("update_type", ledger_.updateType()));
}

void ApiServer::result(const Request& req, Response& res) {
    const std::optional<ResultStore::Result> found = results_.load(req.matches[1].str());
    if (!found) return sendError(res, 404, "Not found");
    try {
        // The instance that charged for it may have died before it saw its answer arrive.
        ledger_.fetched(req.matches[1].str());
    } catch (const LedgerError&) {
        // Without the ledger the result is still served; the charge waits to be settled.
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_content(found->bytes, found->contentType);
}

void ApiServer::account(const Request& req, Response& res) {
    AccountPageContent content;
    content.serviceUrl = publicBaseUrl();
    content.local = isLocalClient(req);
    if (content.local) {
        content.databasePath = ledger_.location();
        content.keys = ledger_.keys();
        for (const KeyRecord& record : content.keys) {
            if (record.demo && !content.demo) content.demo = record;
        }
    }
    res.status = 200;
    res.set_content(renderAccountPage(content), "text/html; charset=utf-8");
}

std::string ApiServer::resultUrl(const std::string& name) const {
    return (options_.publicOrigin.empty() ? origin() : options_.publicOrigin) + "/results/" + name;
}

}  // namespace vserver
