// Two-digit upper-case hexadecimal, the one way byte values are written in
// texts, log lines and tool output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace notavero {

inline constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Writes `byte` as exactly two upper-case hexadecimal digits at `out`.
inline void PutHex2(char* out, uint8_t byte) {
  out[0] = kHexDigits[byte >> 4];
  out[1] = kHexDigits[byte & 0x0F];
}

// Appends `byte` as exactly two upper-case hexadecimal digits.
inline void AppendHex2(std::string& out, uint8_t byte) {
  char digits[2];
  PutHex2(digits, byte);
  out.append(digits, 2);
}

// "02 03 06 33 DA 81": each byte as two digits, separated by single spaces.
std::string HexBytes(const uint8_t* data, std::size_t count);

// Parses hexadecimal bytes: pairs of digits, optionally separated by white
// space, in either case ("020306", "02 03 06", "0x02 0x03").  Returns nothing
// for a non-hex character or an odd number of digits in one group.
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);

}  // namespace notavero
