#include "common/hex.h"

namespace notavero {

std::string HexBytes(const uint8_t* data, std::size_t count) {
  std::string out;
  out.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) {
      out.push_back(' ');
    }
    AppendHex2(out, data[i]);
  }
  return out;
}

namespace {

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') {
    return ch - '0';
  }
  if (ch >= 'a' && ch <= 'f') {
    return ch - 'a' + 10;
  }
  if (ch >= 'A' && ch <= 'F') {
    return ch - 'A' + 10;
  }
  return -1;
}

bool IsSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == ',';
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (IsSpace(text[pos])) {
      ++pos;
      continue;
    }
    // One group: an optional 0x prefix, then an even number of digits.
    if (text.size() - pos >= 2 && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
      pos += 2;
    }
    const std::size_t start = pos;
    while (pos < text.size() && !IsSpace(text[pos])) {
      if (HexDigit(text[pos]) < 0) {
        return std::nullopt;
      }
      ++pos;
    }
    if (pos == start || (pos - start) % 2 != 0) {
      return std::nullopt;
    }
    for (std::size_t i = start; i < pos; i += 2) {
      bytes.push_back(static_cast<uint8_t>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
    }
  }
  return bytes;
}

}  // namespace notavero
