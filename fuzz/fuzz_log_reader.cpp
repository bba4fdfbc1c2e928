// The log reader on arbitrary bytes: it never fails, every line it skips is one it read, and reading
// the same text again gives the same figures.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tools/notavero/log_reader.h"

using namespace notavero::logread;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  LogReader::Options options;
  options.timeline = size % 2 == 0;
  const Report once = ReadLog(text, options, "fuzz.log");
  uint64_t lines = 1;
  for (const char c : text) {
    lines += c == '\n' ? 1 : 0;
  }
  FUZZ_CHECK(once.skipped.size() <= lines);
  for (const auto& skipped : once.skipped) {
    FUZZ_CHECK(skipped.line >= 1 && skipped.line <= lines);
  }
  const Summary& s = once.summary;
  const Report again = ReadLog(text, options, "fuzz.log");
  FUZZ_CHECK(again.summary.StackedCount() == s.StackedCount());
  FUZZ_CHECK(again.summary.StackedSum() == s.StackedSum());
  FUZZ_CHECK(again.skipped.size() == once.skipped.size());
  return 0;
}
