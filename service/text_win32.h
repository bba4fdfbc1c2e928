// Text between the service (UTF-8 throughout) and the Windows API (UTF-16),
// for the Windows backends only.
#pragma once

#include <windows.h>

#include <string>

namespace notavero::service {

// code_page: CP_UTF8 for the service's own text; CP_ACP for a narrow main's
// arguments, which Windows gives in the ANSI code page.
inline std::wstring Wide(const std::string& text, UINT code_page = CP_UTF8) {
  if (text.empty()) {
    return {};
  }
  const int size = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

inline std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                      nullptr);
  return text;
}

}  // namespace notavero::service
