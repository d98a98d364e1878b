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
// On disk the "/" after the random part is this character, keeping the folder flat.
constexpr char kDiskSeparator = '-';
constexpr const char* kFallbackStem = "image";

bool isStemCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

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

std::string ResultStore::stemFor(const std::string& fileName) {
    std::string base = fileName.substr(fileName.find_last_of("/\\") + 1);
    const auto dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    std::string stem;
    for (const char ch : base) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) == 0x80) continue;  // the rest of a UTF-8 character already replaced
        stem += isStemCharacter(c) ? ch : '_';
    }
    stem.erase(0, stem.find_first_not_of('.'));
    if (stem.size() > kMaxStemLength) stem.resize(kMaxStemLength);
    return stem.empty() ? kFallbackStem : stem;
}

std::string ResultStore::pathOf(const std::string& name) const {
    std::string file = name;
    file[kNameHexDigits] = kDiskSeparator;
    return folder_ + "/" + file;
}

std::string ResultStore::store(const std::vector<unsigned char>& bytes, const std::string& stem,
                               const std::string& extension) {
    const std::string name = randomHex(kNameHexDigits / 2) + "/" + stem + extension;
    if (!isValidName(name)) throw std::runtime_error("not a result name: " + name);
    const std::string path = pathOf(name);
    const std::string partial = folder_ + "/" + kPartialPrefix + path.substr(folder_.size() + 1);
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
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(partial.c_str());
        throw std::system_error(error, std::generic_category(), "cannot publish result file");
    }
    return name;
}

std::optional<ResultStore::Result> ResultStore::load(const std::string& name) {
    if (!isValidName(name)) return std::nullopt;
    const std::string path = pathOf(name);
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
    if (isValidName(name)) std::remove(pathOf(name).c_str());
}

std::size_t ResultStore::sweep() {
    std::size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder_, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() > kNameHexDigits && name[kNameHexDigits] == kDiskSeparator) {
            name[kNameHexDigits] = '/';
        }
        const bool ours = isValidName(name) || name.rfind(kPartialPrefix, 0) == 0;
        if (!ours) continue;
        const std::string path = it->path().string();
        if (isExpired(path) && std::remove(path.c_str()) == 0) ++removed;
    }
    return removed;
}

bool ResultStore::isValidName(const std::string& name) {
    constexpr std::size_t kExtension = 4;
    if (name.size() < kNameHexDigits + 2 + kExtension ||
        name.size() > kNameHexDigits + 1 + kMaxStemLength + kExtension) {
        return false;
    }
    for (std::size_t i = 0; i < kNameHexDigits; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    if (name[kNameHexDigits] != '/' || name[kNameHexDigits + 1] == '.') return false;
    const std::size_t stemEnd = name.size() - kExtension;
    for (std::size_t i = kNameHexDigits + 1; i < stemEnd; ++i) {
        if (!isStemCharacter(static_cast<unsigned char>(name[i]))) return false;
    }
    const std::string ext = name.substr(stemEnd);
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
