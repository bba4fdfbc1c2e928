// Splitting a command or table line into words.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

namespace notavero::sim {

// The words of a line, separated by spaces, tabs and carriage returns.
inline std::vector<std::string_view> Words(std::string_view line) {
  constexpr std::string_view kBlanks = " \t\r";
  std::vector<std::string_view> words;
  std::size_t pos = line.find_first_not_of(kBlanks);
  while (pos != std::string_view::npos) {
    const std::size_t end = std::min(line.find_first_of(kBlanks, pos), line.size());
    words.push_back(line.substr(pos, end - pos));
    pos = line.find_first_not_of(kBlanks, end);
  }
  return words;
}

}  // namespace notavero::sim
