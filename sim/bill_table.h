// The simulated validator's bill table (its wire form is
// protocol/bill_table.h): the default table and table files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/bill_table.h"

namespace notavero::sim {

using notavero::BillTable;
using notavero::BillTableEntry;

// Types 2..7 hold 10, 50, 100, 500, 1000 and 5000 "RUS"; the rest is empty.
BillTable DefaultBillTable();

// Parses a table text.  One line per entry, entry 0 first: "MULTIPLIER
// COUNTRY EXPONENT" (for instance "5 RUS 2" for 500), or "-" for an empty
// entry.  Blank lines and text after '#' are ignored; entries after the last
// line are empty.  Returns an error message naming the line, or "" on success.
std::string ParseBillTable(std::string_view text, BillTable& table);

// Reads and parses a table file; throws std::runtime_error with a message
// that names the file when it cannot be read or parsed.
BillTable LoadBillTableFile(const std::string& path);

}  // namespace notavero::sim
