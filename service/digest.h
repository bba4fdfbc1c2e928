// SHA-256 and random bytes for the journal's chain, its identity and the
// token: libcrypto on Linux, the system's CNG on Windows
// (digest_posix.cpp, digest_win32.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace notavero::service {

using Sha256Digest = std::array<unsigned char, 32>;

// Throws std::runtime_error when the system cannot hash.
Sha256Digest Sha256(std::string_view data);

// Fills data with bytes from the system's random generator; throws
// std::runtime_error when it has none.
void RandomBytes(unsigned char* data, std::size_t size);

}  // namespace notavero::service
