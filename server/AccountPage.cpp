#include "AccountPage.h"

namespace vserver {

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string shellQuote(const std::string& text) {
    bool plain = !text.empty();
    for (const char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-' ||
                          c == '+' || c == ':' || c == ',';
        if (!safe) plain = false;
    }
    if (plain) return text;
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string renderAccountPage(const AccountPageContent& content) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Vorpane account</title>\n"
        "<style>body{font-family:sans-serif;max-width:46em;margin:2em auto;padding:0 1em;"
        "line-height:1.5}pre,code{background:#f2f2f2;padding:.15em .35em;border-radius:3px}"
        "pre{padding:.6em;overflow-x:auto}table{border-collapse:collapse}"
        "td,th{padding:.2em .8em;text-align:left}</style>\n"
        "</head>\n<body>\n<h1>Vorpane account</h1>\n"
        "<p>The address of this service, for Vorpane's <code>--service-url</code>:</p>\n"
        "<pre id=\"service-url\">" +
        escapeHtml(content.serviceUrl) + "</pre>\n";
    if (!content.local) {
        return html +
               "<p>API keys and credits are given by the administrator of this service.</p>\n"
               "</body>\n</html>\n";
    }

    html += "<p>Its API keys and credits live in the database <code>" +
            escapeHtml(content.databasePath) + "</code>.</p>\n";
    auto balanceCells = [](const Balances& b) {
        return "<td>" + std::to_string(b.free) + "</td><td>" + std::to_string(b.topup) +
               "</td><td>" + std::to_string(b.subscription) + "</td>";
    };
    if (content.demo) {
        html +=
            "<h2>Demo key</h2>\n<p>Enter this key in Vorpane's settings:</p>\n<pre "
            "id=\"demo-key\">" +
            escapeHtml(content.demo->key) + "</pre>\n";
    }
    if (!content.keys.empty()) {
        html +=
            "<h2>Keys</h2>\n<table id=\"keys\">\n<tr><th>Key</th><th>Free credit</th><th>Top "
            "up plan</th><th>Subscription plan</th></tr>\n";
        for (const KeyRecord& record : content.keys) {
            html += "<tr><td><code>" + escapeHtml(record.key) + "</code>" +
                    (record.demo ? " (demo)" : "") + "</td>" + balanceCells(record.balances) +
                    "</tr>\n";
        }
        html += "</table>\n";
    }

    const std::string db = escapeHtml(shellQuote(content.databasePath));
    html +=
        "<h2>Create a key</h2>\n<p>Run on the machine that hosts this service:</p>\n"
        "<pre>vorpane-server key create --free 50 --db " +
        db +
        "</pre>\n<p>It prints the new key (32 characters). <code>--key</code> chooses the key "
        "yourself; <code>--topup</code> and <code>--subscription</code> set the other "
        "credit pools.</p>\n"
        "<h2>Recharge credits</h2>\n<pre>vorpane-server key set KEY --free 50 --topup 0 "
        "--subscription 0 --db " +
        db + "</pre>\n<p>List the keys and their credits with <code>vorpane-server key list --db " +
        db +
        "</code>.</p>\n"
        "<h2>Announce an application version</h2>\n<pre>vorpane-server version set 1.1.0 "
        "--update-type soft --db " +
        db + "</pre>\n</body>\n</html>\n";
    return html;
}

}  // namespace vserver
