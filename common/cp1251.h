// Windows-1251 text support.
//
// Every text the library shows to people (state texts, error messages, log
// lines) is Russian in the Windows-1251 code page, because hosts and log
// readers expect that encoding byte for byte.  The source keeps the texts in
// UTF-8; `Cp1251Literal` turns them into Windows-1251 bytes at compile time,
// so no conversion happens at run time and a character without a place in the
// code page is a compile error.  `Cp1251ToUtf8` goes the other way for tools
// that print to a UTF-8 terminal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace notavero {

namespace cp1251_detail {

// Code points of the bytes 0x80..0xBF; 0 marks the one unassigned byte (0x98).
// 0xC0..0xFF are U+0410..U+044F in order, 0x00..0x7F are ASCII.
inline constexpr std::array<char16_t, 64> kHighTable = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// Code point of one Windows-1251 byte; 0xFFFD for the unassigned byte.
constexpr char32_t ByteToCodePoint(uint8_t byte) {
  if (byte < 0x80) {
    return byte;
  }
  if (byte >= 0xC0) {
    return 0x0410 + (byte - 0xC0);
  }
  const char16_t cp = kHighTable[byte - 0x80];
  return cp == 0 ? 0xFFFD : cp;
}

// Windows-1251 byte of a code point; throws (a compile error in a constant
// expression) for a code point the code page cannot hold.
constexpr uint8_t CodePointToByte(char32_t cp) {
  if (cp < 0x80) {
    return static_cast<uint8_t>(cp);
  }
  if (cp >= 0x0410 && cp <= 0x044F) {
    return static_cast<uint8_t>(0xC0 + (cp - 0x0410));
  }
  for (std::size_t i = 0; i < kHighTable.size(); ++i) {
    if (kHighTable[i] != 0 && kHighTable[i] == cp) {
      return static_cast<uint8_t>(0x80 + i);
    }
  }
  throw std::invalid_argument("character has no Windows-1251 byte");
}

// Decodes one UTF-8 sequence starting at text[pos]; advances pos.
constexpr char32_t NextCodePoint(std::u8string_view text, std::size_t& pos) {
  const auto lead = static_cast<uint8_t>(text[pos++]);
  int extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    throw std::invalid_argument("malformed UTF-8");
  }
  for (int i = 0; i < extra; ++i) {
    if (pos >= text.size()) {
      throw std::invalid_argument("truncated UTF-8");
    }
    const auto next = static_cast<uint8_t>(text[pos++]);
    if ((next & 0xC0) != 0x80) {
      throw std::invalid_argument("malformed UTF-8");
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  return cp;
}

constexpr std::size_t EncodedLength(std::u8string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    NextCodePoint(text, pos);
  }
  return count;
}

}  // namespace cp1251_detail

// A Windows-1251 text fixed at compile time.  N is the UTF-8 size, an upper
// bound of the encoded size.
template <std::size_t N>
class Cp1251Text {
 public:
  consteval explicit Cp1251Text(const char8_t (&utf8)[N]) {
    const std::u8string_view text(utf8, N - 1);
    std::size_t pos = 0;
    while (pos < text.size()) {
      bytes_[size_++] =
          static_cast<char>(cp1251_detail::CodePointToByte(cp1251_detail::NextCodePoint(text, pos)));
    }
  }

  [[nodiscard]] constexpr std::string_view view() const { return {bytes_.data(), size_}; }
  [[nodiscard]] constexpr std::size_t size() const { return size_; }
  [[nodiscard]] std::string str() const { return std::string(view()); }
  constexpr operator std::string_view() const { return view(); }  // NOLINT(google-explicit-constructor)

 private:
  std::array<char, N> bytes_{};
  std::size_t size_ = 0;
};

// Windows-1251 bytes of a UTF-8 literal, computed by the compiler:
//   constexpr auto kText = Cp1251(u8"Выключен");
template <std::size_t N>
consteval Cp1251Text<N> Cp1251(const char8_t (&utf8)[N]) {
  return Cp1251Text<N>(utf8);
}

// Converts Windows-1251 bytes to UTF-8 (for printing on a UTF-8 terminal).
// The one unassigned byte becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view text);

// Converts UTF-8 to Windows-1251 at run time.  Characters the code page
// cannot hold, and malformed sequences, become '?'.
std::string Utf8ToCp1251(std::string_view text);

}  // namespace notavero
