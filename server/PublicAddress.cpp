#include "PublicAddress.h"

#include <arpa/inet.h>

#include <algorithm>

namespace vserver {

namespace {

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool isHostName(const std::string& host) {
    return !host.empty() && host.size() <= 253 && host.front() != '-' && host.front() != '.' &&
           std::all_of(host.begin(), host.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
           });
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
    std::string name = lowered(host);
    if (name.size() > 1 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    if (name == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

std::optional<std::string> publicOrigin(const std::string& url, std::string& error) {
    const std::string text = lowered(url);
    const auto schemeEnd = text.find("://");
    const std::string scheme = schemeEnd == std::string::npos ? "" : text.substr(0, schemeEnd);
    if (scheme != "https" && scheme != "http") {
        error = "--public-url must be an https address, such as https://cutouts.example.com/";
        return std::nullopt;
    }
    std::string rest = text.substr(schemeEnd + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/?#@") != std::string::npos) {
        error = "--public-url is the origin the clients reach (scheme, host, port), no path";
        return std::nullopt;
    }
    std::string host = rest;
    std::string port;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) host.clear();
        if (close != std::string::npos && close + 1 < rest.size()) {
            if (rest[close + 1] != ':') host.clear();
            port = rest.substr(close + 2);
            host = rest.substr(0, close + 1);
        }
        in6_addr v6{};
        if (host.size() < 3 ||
            inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) != 1)
            host.clear();
    } else if (const auto colon = host.find(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
        if (!isHostName(host)) host.clear();
    } else if (!isHostName(host)) {
        host.clear();
    }
    const bool portOk = port.empty() || (port.size() <= 5 &&
                                         std::all_of(port.begin(), port.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; }) &&
                                         std::stoi(port) > 0 && std::stoi(port) < 65536);
    if (host.empty() || !portOk) {
        error = "--public-url " + url + " is not a valid address";
        return std::nullopt;
    }
    if (scheme == "http" && !isLoopbackHost(host)) {
        error = "--public-url must use https for a host other than this computer";
        return std::nullopt;
    }
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

}  // namespace vserver
