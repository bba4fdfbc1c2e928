#include "sim/bill_table.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/words.h"

namespace notavero::sim {

BillTable DefaultBillTable() {
  BillTable table{};
  const std::array<std::pair<uint8_t, uint8_t>, 6> values = {
      {{1, 1}, {5, 1}, {1, 2}, {5, 2}, {1, 3}, {5, 3}}};
  for (std::size_t i = 0; i < values.size(); ++i) {
    table[i + 2] = BillTableEntry{values[i].first, {'R', 'U', 'S'}, values[i].second};
  }
  return table;
}

namespace {

bool ParseByte(std::string_view word, uint8_t& out) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size() || value > 255) {
    return false;
  }
  out = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

std::string ParseBillTable(std::string_view text, BillTable& table) {
  BillTable parsed{};
  std::size_t entry = 0;
  std::size_t line_number = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    ++line_number;
    line = line.substr(0, line.find('#'));
    const auto words = Words(line);
    if (words.empty()) {
      continue;
    }
    const std::string where = "line " + std::to_string(line_number) + ": ";
    if (entry >= kBillTypeCount) {
      return where + "more than 24 entries";
    }
    if (words.size() == 1 && words[0] == "-") {
      parsed[entry++] = BillTableEntry{};
      continue;
    }
    BillTableEntry value;
    if (words.size() != 3 || !ParseByte(words[0], value.multiplier) || words[1].size() != 3 ||
        !ParseByte(words[2], value.exponent)) {
      return where + "expected 'MULTIPLIER COUNTRY EXPONENT' (e.g. '5 RUS 2') or '-'";
    }
    for (std::size_t c = 0; c < 3; ++c) {
      value.country[c] = words[1][c];
    }
    parsed[entry++] = value;
  }
  table = parsed;
  return {};
}

BillTable LoadBillTableFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read bill table file " + path);
  }
  std::ostringstream text;
  text << file.rdbuf();
  BillTable table{};
  const std::string error = ParseBillTable(text.str(), table);
  if (!error.empty()) {
    throw std::runtime_error("bill table file " + path + ", " + error);
  }
  return table;
}

}  // namespace notavero::sim
