#include "LowDelaySockets.h"

#include <QtGlobal>

#include <atomic>

namespace {

// Connections started and not switched yet (at first unknown: one, so that the first request
// scans), and the scans since one was switched.
std::atomic<int> g_unswitched{1};
std::atomic<int> g_misses{0};
// A connection that never switches (it failed, or the platform turned Nagle off itself) stops
// the scans after this many.
constexpr int kPatience = 8;

}  // namespace

int LowDelaySockets::applyIfDue(int peerPort) {
    if (g_unswitched.load() <= 0) return 0;
    const int switched = apply(peerPort);
    if (switched > 0) {
        g_misses = 0;
        if (g_unswitched.fetch_sub(switched) - switched < 0) g_unswitched = 0;
    } else if (++g_misses >= kPatience) {
        g_misses = 0;
        g_unswitched = 0;
    }
    return switched;
}

void LowDelaySockets::connectionStarted() {
    g_misses = 0;
    ++g_unswitched;
}

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>

namespace {

int peerPortOf(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
    return -1;
}

}  // namespace

int LowDelaySockets::apply(int peerPort) {
    if (peerPort <= 0) return 0;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return 0;
    int switched = 0;
    while (const dirent* entry = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(fds)) continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (getsockopt(int(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        if (peerPortOf(int(fd)) != peerPort) continue;
        int noDelay = 0;
        length = sizeof noDelay;
        if (getsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length) != 0 || noDelay)
            continue;
        noDelay = 1;
        if (setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0)
            ++switched;
    }
    closedir(fds);
    return switched;
}

#else

int LowDelaySockets::apply(int) {
    return 0;
}

#endif
