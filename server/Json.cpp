#include "Json.h"

#include <cstdio>

namespace vserver {

JsonObject& JsonObject::add(const std::string& key, const std::string& value) {
    appendKey(key);
    members_ += quote(value);
    return *this;
}

JsonObject& JsonObject::add(const std::string& key, const char* value) {
    return add(key, std::string(value));
}

JsonObject& JsonObject::add(const std::string& key, std::int64_t value) {
    appendKey(key);
    members_ += std::to_string(value);
    return *this;
}

std::string JsonObject::str() const {
    return "{" + members_ + "}";
}

std::string JsonObject::quote(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

void JsonObject::appendKey(const std::string& key) {
    if (!members_.empty()) members_ += ',';
    members_ += quote(key);
    members_ += ':';
}

}  // namespace vserver
