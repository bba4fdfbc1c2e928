// The log writer with arbitrary levels and texts on a real file, and the
// rotation with arbitrary limits: each line is appended whole (mark, time
// stamp, tag, the text byte for byte, CR LF), and a file above the limit
// moves to its ".0" copy while one at or below it stays.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "log/logger.h"
#include "log/logger_testing.h"

using namespace notavero;
namespace fs = std::filesystem;

namespace {

LogLocalTime FixedTime() {
  return {3, 14, 15, 9, 26, 535};
}

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

const fs::path& Directory() {
  static const fs::path dir = [] {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    fs::path path = base / ("notavero-fuzz-log-" + std::to_string(::getpid()));
    fs::remove_all(path);
    return path;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  const fs::path file = Directory() / "sub" / "Notavero.log";
  fs::remove_all(Directory());
  log_testing::Reset();
  log_testing::SetClock(&FixedTime);
  LogInit(file.string());  // a long name: a path, its directory created

  // Input: one limit byte, then lines of [level, length, text...].
  const int32_t limit = static_cast<int32_t>(data[0]) * 8 - 16;
  std::size_t i = 1;
  while (i + 2 <= size) {
    const uint8_t level = data[i];
    const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
    const std::string_view text(reinterpret_cast<const char*>(data + i + 2), length);
    i += 2 + length;

    const std::string before = ReadAll(file);
    LogWrite(level, text);
    const std::string after = ReadAll(file);
    static constexpr std::string_view kMarks = "-+?!#$^";
    const std::string line = std::string(1, kMarks[std::min<std::size_t>(level, 6)]) +
                             " 14.03 15:09:26.535 [] " + std::string(text) + "\r\n";
    FUZZ_CHECK(after.size() >= line.size());
    FUZZ_CHECK(after.compare(after.size() - line.size(), line.size(), line) == 0);
    FUZZ_CHECK(after.compare(0, before.size(), before) == 0);  // appended, nothing lost

    LogRotate(limit);
    const bool rotated = static_cast<std::intmax_t>(after.size()) > limit;
    FUZZ_CHECK(fs::exists(file) != rotated);
    if (rotated) {
      FUZZ_CHECK(ReadAll(file.string() + ".0") == after);
    }
  }
  log_testing::Reset();
  return 0;
}
