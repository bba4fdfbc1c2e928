// The base of the driver's tests: each test gets a fresh directory named by
// the test, with the driver's log in a subdirectory that the driver creates
// (NOTAVERO_LOG), removed after the test unless NOTAVERO_TEST_KEEP_LOG is
// set, and reads the log back line by line.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace notavero::testing {

class DriverLogTest : public ::testing::Test {
 protected:
  // One log line: its mark and its text (after the time stamp and the tag).
  struct LogLine {
    char mark;
    std::string text;
  };

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("notavero-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    log_path_ = (dir_ / "logs" / "Notavero.log").string();
    ::setenv("NOTAVERO_LOG", log_path_.c_str(), 1);
  }

  void TearDown() override {
    ::unsetenv("NOTAVERO_LOG");
    if (std::getenv("NOTAVERO_TEST_KEEP_LOG") == nullptr) {  // kept for whoever debugs a failure
      std::filesystem::remove_all(dir_);
    }
  }

  [[nodiscard]] std::vector<LogLine> LogLines() const {
    std::ifstream file(log_path_, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<LogLine> lines;
    for (std::size_t pos = 0; pos < content.size();) {
      std::size_t end = content.find("\r\n", pos);
      end = end == std::string::npos ? content.size() : end;
      const std::string line = content.substr(pos, end - pos);
      pos = end + 2;
      // mark, space, 18-character time stamp, space, "[]", space, text
      if (line.size() >= 24 && line.compare(20, 4, " [] ") == 0) {
        lines.push_back({line[0], line.substr(24)});
      }
    }
    return lines;
  }
  [[nodiscard]] bool LogHas(char mark, const std::string& text) const { return LogCount(mark, text) > 0; }
  [[nodiscard]] std::size_t LogCount(char mark, const std::string& text) const {
    const auto lines = LogLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
      return line.mark == mark && line.text == text;
    }));
  }
  [[nodiscard]] bool LogHasPrefix(const std::string& prefix) const {
    const auto lines = LogLines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const LogLine& line) { return line.text.rfind(prefix, 0) == 0; });
  }
  // How many lines contain `part`.
  [[nodiscard]] std::size_t LogLinesWith(const std::string& part) const {
    const auto lines = LogLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
      return line.text.find(part) != std::string::npos;
    }));
  }

  std::filesystem::path dir_;
  std::string log_path_;
};

}  // namespace notavero::testing
