#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vserver {

// The folder of result images. Each result has a random name and lives for a
// fixed time after it was written; expired results are removed by sweep() and
// refused (and removed) on access.
class ResultStore final {
public:
    struct Result {
        std::string bytes;
        std::string contentType;
    };

    // Creates the folder. Throws std::filesystem::filesystem_error.
    explicit ResultStore(std::string folder, std::chrono::seconds ttl);

    // Writes the bytes under a new random name with the given extension
    // (".png" or ".jpg") and returns the name. Throws std::runtime_error.
    std::string store(const std::vector<unsigned char>& bytes, const std::string& extension);

    // The result stored under name, unless it is unknown or expired.
    std::optional<Result> load(const std::string& name);

    void remove(const std::string& name);

    // Removes every expired result (and stale partial writes); returns how
    // many files went.
    std::size_t sweep();

    const std::string& folder() const { return folder_; }
    std::chrono::seconds ttl() const { return ttl_; }

    // 32 lower-case hexadecimal digits followed by ".png" or ".jpg".
    static bool isValidName(const std::string& name);

private:
    bool isExpired(const std::string& path) const;

    std::string folder_;
    std::chrono::seconds ttl_;
};

}  // namespace vserver
