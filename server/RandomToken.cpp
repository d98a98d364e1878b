#include "RandomToken.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace vserver {

std::string randomHex(std::size_t byteCount) {
    std::vector<unsigned char> bytes(byteCount);
    std::size_t filled = 0;
    while (filled < byteCount) {
        const ssize_t n = getrandom(bytes.data() + filled, byteCount - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(byteCount * 2);
    for (const unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0f];
    }
    return text;
}

}  // namespace vserver
