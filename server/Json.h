#pragma once

#include <cstdint>
#include <string>

namespace vserver {

// Builds one flat JSON object; members appear in the order they are added.
class JsonObject final {
public:
    JsonObject& add(const std::string& key, const std::string& value);
    JsonObject& add(const std::string& key, const char* value);
    JsonObject& add(const std::string& key, std::int64_t value);

    std::string str() const;

    // The text as a JSON string literal, quotes included.
    static std::string quote(const std::string& text);

private:
    void appendKey(const std::string& key);

    std::string members_;
};

}  // namespace vserver
