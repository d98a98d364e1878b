#pragma once

#include <optional>
#include <string>

namespace vserver {

// True for a host that only this computer reaches: 127.0.0.0/8, ::1 and "localhost". Anything
// else (a wildcard, an interface's address, a name) reaches beyond it.
bool isLoopbackHost(const std::string& host);

// The origin ("https://host[:port]") of the address clients reach the service at, from a URL
// that is an origin with or without a final "/". Plain http is accepted only for a loopback
// host. Otherwise nullopt, with the reason in error.
std::optional<std::string> publicOrigin(const std::string& url, std::string& error);

}  // namespace vserver
