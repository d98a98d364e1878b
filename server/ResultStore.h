#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vserver {

// The folder of result images. A result is named "<32 random hex>/<stem>.<ext>": the random part
// alone makes it reachable, the stem (from the uploaded file's name) only makes a saved copy
// recognisable. It lives for a fixed time after it was written; expired results are removed by
// sweep() and refused (and removed) on access.
class ResultStore final {
public:
    struct Result {
        std::string bytes;
        std::string contentType;
    };

    // Creates the folder. Throws std::filesystem::filesystem_error.
    explicit ResultStore(std::string folder, std::chrono::seconds ttl);

    static constexpr std::size_t kMaxStemLength = 100;

    // Writes the bytes under a new random name with the given stem (see stemFor) and extension
    // (".png" or ".jpg") and returns the name. Throws std::runtime_error.
    std::string store(const std::vector<unsigned char>& bytes, const std::string& stem,
                      const std::string& extension);

    // The result stored under name, unless it is unknown or expired.
    std::optional<Result> load(const std::string& name);

    void remove(const std::string& name);

    // Removes every expired result (and stale partial writes); returns how
    // many files went.
    std::size_t sweep();

    const std::string& folder() const { return folder_; }
    std::chrono::seconds ttl() const { return ttl_; }

    // 32 lower-case hexadecimal digits, "/", a stem and ".png" or ".jpg".
    static bool isValidName(const std::string& name);

    // An uploaded file's name made safe for a URL and a file name: its last path component
    // without the extension, letters, digits, ".", "_" and "-" kept and every other character
    // made "_", at most kMaxStemLength long, never empty and never starting with ".".
    static std::string stemFor(const std::string& fileName);

private:
    bool isExpired(const std::string& path) const;
    std::string pathOf(const std::string& name) const;

    std::string folder_;
    std::chrono::seconds ttl_;
};

}  // namespace vserver
