// SHA-256 and random bytes for the journal's chain, its identity and the
// token: libcrypto on Linux, the system's CNG on Windows
// (digest_posix.cpp, digest_win32.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace notavero::service {

using Sha256Digest = std::array<unsigned char, 32>;

// Throws std::runtime_error when the system cannot hash.
Sha256Digest Sha256(std::string_view data);

// Fills data with bytes from the system's random generator; throws
// std::runtime_error when it has none.
void RandomBytes(unsigned char* data, std::size_t size);

// Bytes as lower-case hexadecimal, two digits each.
inline std::string LowerHex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0F];
  }
  return hex;
}

// `size` random bytes in hex (a journal's identity, the token); throws as
// RandomBytes does.
inline std::string RandomHex(std::size_t size) {
  std::string bytes(size, '\0');
  RandomBytes(reinterpret_cast<unsigned char*>(bytes.data()), size);
  return LowerHex(reinterpret_cast<const unsigned char*>(bytes.data()), size);
}

}  // namespace notavero::service
