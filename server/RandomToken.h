#pragma once

#include <cstddef>
#include <string>

namespace vserver {

// Lower-case hexadecimal text of byteCount bytes from the kernel's CSPRNG
// (getrandom(2)); 2 * byteCount characters. Throws std::system_error when the
// kernel cannot supply them.
std::string randomHex(std::size_t byteCount);

}  // namespace vserver
