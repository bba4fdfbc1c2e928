// Keeps one line that repeats, such as an error caught on every poll, from
// filling the log, without hiding how often it came.
//
// A line is written the first time it comes.  The same line coming again
// is held back; once a minute has passed since it was last written, it is
// written again with the number of repeats held back in between:
//   "text (повторов: N)"
// A different line first brings out the held-back count of the previous one
// (as the same "text (повторов: N)" line, when there is a count), then is
// itself written as a first line.  So every "(повторов: N)" line says: N
// more times than the log shows, since this text was last written.
//
// Usage, on the thread that logs (the class has no lock of its own):
//
//   LogRepeatFilter repeats;  // a member of the polling thread
//   ...
//   catch (const std::exception& e) {
//     const std::string line = std::string(kErrorInThread) + e.what();
//     for (const std::string& out : repeats.Filter(line, std::chrono::steady_clock::now())) {
//       LogWrite(LogLevel::kInfo, out);
//     }
//   }
//   ...
//   // When the errors stop (a poll went through), log the count still held
//   // back, so that it is not lost, and let the next error count as new:
//   for (const std::string& out : repeats.Flush()) {
//     LogWrite(LogLevel::kInfo, out);
//   }
//
// The clock is an argument, so tests pass their own time points.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "log/log_phrases.h"

namespace notavero {

class LogRepeatFilter {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a repeated line is held back at most.
  static constexpr Clock::duration kDefaultInterval = std::chrono::minutes(1);

  explicit LogRepeatFilter(Clock::duration interval = kDefaultInterval) : interval_(interval) {}

  // The lines to write, in order, for `line` coming at `now`: none (a repeat
  // held back), one (a new line, or a repeat after the interval with its
  // count), or two (the count held back for the previous line, then `line`).
  [[nodiscard]] std::vector<std::string> Filter(std::string_view line, Clock::time_point now) {
    std::vector<std::string> out;
    if (has_last_ && line == last_) {
      if (now - last_written_ < interval_) {
        ++held_back_;
        return out;
      }
      out.push_back(held_back_ == 0 ? std::string(line) : WithRepeats(line, held_back_));
      held_back_ = 0;
      last_written_ = now;
      return out;
    }
    if (has_last_ && held_back_ != 0) {
      out.push_back(WithRepeats(last_, held_back_));
    }
    out.emplace_back(line);
    last_.assign(line);
    has_last_ = true;
    held_back_ = 0;
    last_written_ = now;
    return out;
  }

  // The count held back for the last line, as one line (none when nothing
  // is held back), and forgets the last line: when it comes again it is
  // written as new.
  [[nodiscard]] std::vector<std::string> Flush() {
    std::vector<std::string> out;
    if (has_last_ && held_back_ != 0) {
      out.push_back(WithRepeats(last_, held_back_));
    }
    has_last_ = false;
    held_back_ = 0;
    last_.clear();
    return out;
  }

  // How often the last line has been held back since it was last written.
  [[nodiscard]] uint64_t HeldBack() const { return held_back_; }

  // "line (повторов: N)", in Windows-1251 like the line.
  [[nodiscard]] static std::string WithRepeats(std::string_view line, uint64_t repeats) {
    std::string out(line);
    out.append(phrase::kRepeats.view());
    out.append(std::to_string(repeats));
    out.push_back(')');
    return out;
  }

 private:
  Clock::duration interval_;
  std::string last_;
  bool has_last_ = false;
  uint64_t held_back_ = 0;
  Clock::time_point last_written_{};
};

}  // namespace notavero
