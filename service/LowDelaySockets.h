#pragma once

// Qt's HTTP client leaves Nagle's algorithm on for the connections it keeps alive. A request
// body that ends in a short segment then waits for the peer's delayed acknowledgement (40 ms on
// Linux) before its last bytes leave: once per image, which dominates a batch on a fast link.
// This turns Nagle off, as curl and browsers do, on the process's connected TCP sockets whose
// peer listens on the given port (the connections kept for the next request to that service).
class LowDelaySockets final {
public:
    // Returns how many sockets were switched; always 0 where the platform gives no way to find
    // them. A connection opened by the next request itself is switched on the following call.
    static int apply(int peerPort);
    // The same, but only while a connection started since may still wait for its switch: the
    // requests of a batch reuse their connections, and a scan costs a system call for every
    // file the process holds open. Until the first connection is reported, it scans.
    static int applyIfDue(int peerPort);
    // A request started a new connection (QNetworkReply::socketStartedConnecting).
    static void connectionStarted();
};
