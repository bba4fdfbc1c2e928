#include "common/cp1251.h"

namespace notavero {

std::string Cp1251ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char ch : text) {
    const char32_t cp = cp1251_detail::ByteToCodePoint(static_cast<uint8_t>(ch));
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  const std::u8string_view utf8(reinterpret_cast<const char8_t*>(text.data()), text.size());
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::size_t start = pos;
    try {
      out.push_back(
          static_cast<char>(cp1251_detail::CodePointToByte(cp1251_detail::NextCodePoint(utf8, pos))));
    } catch (const std::invalid_argument&) {
      out.push_back('?');
      if (pos == start) {
        ++pos;
      }
    }
  }
  return out;
}

}  // namespace notavero
