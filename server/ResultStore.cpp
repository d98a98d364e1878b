#include "ResultStore.h"

#include "RandomToken.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace vserver {

namespace {

constexpr std::size_t kNameHexDigits = 32;
constexpr const char* kPartialPrefix = ".partial-";

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

ResultStore::ResultStore(std::string folder, std::chrono::seconds ttl)
    : folder_(std::move(folder)), ttl_(ttl) {
    std::filesystem::create_directories(folder_);
}

std::string ResultStore::store(const std::vector<unsigned char>& bytes,
                               const std::string& extension) {
    const std::string name = randomHex(kNameHexDigits / 2) + extension;
    const std::string partial = folder_ + "/" + kPartialPrefix + name;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(partial.c_str());
            throw std::runtime_error("cannot write result file " + partial);
        }
    }
    // The rename publishes the complete file at once.
    if (std::rename(partial.c_str(), (folder_ + "/" + name).c_str()) != 0) {
        const int error = errno;
        std::remove(partial.c_str());
        throw std::system_error(error, std::generic_category(), "cannot publish result file");
    }
    return name;
}

std::optional<ResultStore::Result> ResultStore::load(const std::string& name) {
    if (!isValidName(name)) return std::nullopt;
    const std::string path = folder_ + "/" + name;
    if (isExpired(path)) {
        std::remove(path.c_str());
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Result result;
    result.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    const bool png = name.compare(name.size() - 4, 4, ".png") == 0;
    result.contentType = png ? "image/png" : "image/jpeg";
    return result;
}

void ResultStore::remove(const std::string& name) {
    if (isValidName(name)) std::remove((folder_ + "/" + name).c_str());
}

std::size_t ResultStore::sweep() {
    std::size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool ours = isValidName(name) || name.rfind(kPartialPrefix, 0) == 0;
        if (!ours) continue;
        const std::string path = it->path().string();
        if (isExpired(path) && std::remove(path.c_str()) == 0) ++removed;
    }
    return removed;
}

bool ResultStore::isValidName(const std::string& name) {
    if (name.size() != kNameHexDigits + 4) return false;
    for (std::size_t i = 0; i < kNameHexDigits; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    const std::string ext = name.substr(kNameHexDigits);
    return ext == ".png" || ext == ".jpg";
}

bool ResultStore::isExpired(const std::string& path) const {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const std::int64_t written = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const std::int64_t ttlNs = std::int64_t(ttl_.count()) * 1000000000;
    return nowNs() - written >= ttlNs;
}

}  // namespace vserver
