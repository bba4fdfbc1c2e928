// The polling thread's reading of arbitrary status words: the state text is
// defined for every word (never empty, no NUL, the same each time, valid
// Windows-1251 that converts to UTF-8), the cycle's log line is built from
// it, and the bill type of an event indexes the 24 bill values only when it
// is below 24 (any other sub-code is worth 0).

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/cp1251.h"
#include "common/hex.h"
#include "driver/bill_table.h"
#include "fuzz/fuzz_check.h"
#include "protocol/codes.h"
#include "protocol/state_text.h"

using namespace notavero;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const auto status = static_cast<uint16_t>(data[0] | (data[1] << 8));
  const uint8_t state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);
  FUZZ_CHECK(MakeStatus(state, sub_code) == status);

  const std::string text = StateToText(status);
  FUZZ_CHECK(!text.empty());
  FUZZ_CHECK(text.find('\0') == std::string::npos);
  FUZZ_CHECK(StateToText(status) == text);
  const std::string utf8 = Cp1251ToUtf8(text);
  FUZZ_CHECK(utf8.size() >= text.size());

  std::string line("Cycle: ");
  AppendHex2(line, state);
  line += '-';
  AppendHex2(line, sub_code);
  FUZZ_CHECK(line.size() == 12);

  // The amount of an event: a table whose every entry is set, so that any
  // index that reaches it shows.
  BillValueTable values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<CurrencyAmount>(i + 1) * kCurrencyScale;
  }
  if (state == dsEscrow || state == dsStacked || state == dsReturned) {
    const CurrencyAmount amount = sub_code < values.size() ? values[sub_code] : 0;
    FUZZ_CHECK((amount != 0) == (sub_code < kBillTypeCount));
  }
  return 0;
}
