// The log reader on a log the driver itself wrote: two loads of the library
// against the simulator, bills stacked, returned and rejected, a silent
// device, a bad frame, a power cut, and the log rotated by the logger in the
// middle.  The reader's counts must be the simulator's and the host's.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/cp1251.h"
#include "driver/notavero_unit.h"
#include "log/log_phrases.h"
#include "log/logger.h"
#include "log/logger_testing.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "sim/sim_server.h"
#include "tools/notavero/log_reader.h"

namespace notavero {
namespace {

using namespace std::chrono_literals;
using sim::Direction;
using sim::SimServer;
using sim::TraceEntry;

constexpr auto kWait = 60s;  // generous: sanitizers on a loaded machine
constexpr uint8_t kPort = 7;
constexpr int64_t kReturnedValue = 5000;

// Stacks every bill but a 5000 note; counts the outcomes.
class Host {
 public:
  static int Callback(int32_t kind, int64_t amount, void* user) {
    return static_cast<Host*>(user)->OnBill(kind, amount);
  }

  bool WaitFor(int stacked, int returned) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return stacked_ >= stacked && returned_ >= returned; });
  }

  int64_t Credited() {
    const std::lock_guard lock(mutex_);
    return credited_;
  }

 private:
  int OnBill(int32_t kind, int64_t amount) {
    const std::lock_guard lock(mutex_);
    if (kind == beEscrow) {
      return amount != kReturnedValue * kCurrencyScale ? 1 : 0;
    }
    if (kind == beStacked) {
      ++stacked_;
      credited_ += amount / kCurrencyScale;
    } else {
      ++returned_;
    }
    changed_.notify_all();
    return 0;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int stacked_ = 0;
  int returned_ = 0;
  int64_t credited_ = 0;
};

class LogReaderE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("notavero-logread-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    ::setenv("NOTAVERO_LOG", (dir_ / "Notavero.log").c_str(), 1);
    sim::SimOptions options;
    options.fast = true;
    sim_ = SimServer::Start(options);
    ::setenv(("NOTAVERO_COM" + std::to_string(kPort)).c_str(), sim_->SlavePath().c_str(), 1);
  }

  void TearDown() override {
    driver_.reset();
    sim_.reset();
    ::unsetenv("NOTAVERO_LOG");
    log_testing::Reset();
    std::filesystem::remove_all(dir_);
  }

  // A driver runs and the device waits for a bill.
  void Ready() {
    if (!driver_) {
      driver_ = std::make_unique<TNotavero>(kPort, TBillSink{nullptr, &Host::Callback, &host_});
    }
    const auto limit = std::chrono::steady_clock::now() + kWait;
    while (sim_->Status().state != dsWaitingForBill) {
      ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the device did not become ready";
      driver_->SetEnabled(true);  // consumed with nothing enabled until the table is read: ask again
      sim_->WaitForState(dsWaitingForBill, 1s);
    }
  }

  // Waits until the device has answered a frame again after `mark`.
  bool Answered(std::size_t mark) {
    return sim_->WaitForTrace(
        [](const TraceEntry& entry) {
          return entry.direction == Direction::kSent && FrameCrcGood(entry.bytes.data(), entry.bytes.size());
        },
        kWait, mark);
  }

  std::filesystem::path dir_;
  Host host_;
  std::unique_ptr<SimServer> sim_;
  std::unique_ptr<TNotavero> driver_;
};

std::string Content(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(LogReaderE2eTest, CountsMatchTheDeviceAcrossARotationAndTwoLoads) {
  // First load: a stacked 100, a returned 5000, a type the driver never
  // enables (rejected), three frames unheard.
  ASSERT_NO_FATAL_FAILURE(Ready());
  ASSERT_TRUE(sim_->Insert(4).ok);
  ASSERT_TRUE(host_.WaitFor(1, 0));
  ASSERT_NO_FATAL_FAILURE(Ready());
  ASSERT_TRUE(sim_->Insert(7).ok);
  ASSERT_TRUE(host_.WaitFor(1, 1));
  ASSERT_NO_FATAL_FAILURE(Ready());
  ASSERT_TRUE(sim_->Insert(1).ok);
  ASSERT_TRUE(sim_->WaitForState(dsBillError, kWait));
  ASSERT_NO_FATAL_FAILURE(Ready());
  std::size_t mark = sim_->TraceMark();
  // Four silent frames fail one whole cycle (three polls), whether or not
  // the first of them is the acknowledge of the poll before.
  ASSERT_TRUE(sim_->Command("silent 4").ok);
  ASSERT_TRUE(Answered(mark));

  // The logger rotates the file, as it does at its size limit.
  LogRotate(0);

  // A stacked 10, a reply with a bad CRC, a power cut.
  ASSERT_NO_FATAL_FAILURE(Ready());
  ASSERT_TRUE(sim_->Insert(2).ok);
  ASSERT_TRUE(host_.WaitFor(2, 1));
  mark = sim_->TraceMark();
  ASSERT_TRUE(sim_->Command("bad-crc 1").ok);
  ASSERT_TRUE(Answered(mark));
  ASSERT_TRUE(sim_->PowerCycle().ok);
  ASSERT_TRUE(sim_->WaitForState(dsDisabled, kWait));

  // Second load of the library: a stacked 500.
  driver_.reset();
  log_testing::Reset();
  ASSERT_NO_FATAL_FAILURE(Ready());
  ASSERT_TRUE(sim_->Insert(5).ok);
  ASSERT_TRUE(host_.WaitFor(3, 1));
  driver_.reset();

  // The files in the wrong order: the reader puts the rotated copy first.
  const std::vector<std::string> names = {(dir_ / "Notavero.log").string(),
                                          (dir_ / "Notavero.log.0").string()};
  ASSERT_TRUE(std::filesystem::exists(names[1]));
  ASSERT_FALSE(std::filesystem::exists(dir_ / "Notavero.log.1"));
  std::vector<std::string> contents;
  std::vector<logread::LogMoment> first;
  for (const auto& name : names) {
    contents.push_back(Content(name));
    first.push_back(logread::FirstMoment(contents.back()));
  }
  const auto read = [&](logread::LogReader::Options options) {
    logread::LogReader reader(options);
    for (const std::size_t i : logread::OrderLogFiles(names, first)) {
      reader.ReadFile(names[i], contents[i]);
    }
    return reader.Finish();
  };

  const logread::Report report = read({});
  const logread::Summary& s = report.summary;
  const sim::BillCounters device = sim_->Status().counters;
  EXPECT_TRUE(report.skipped.empty()) << report.skipped.front().file << ":" << report.skipped.front().line;
  EXPECT_EQ(s.stacked, (std::map<int64_t, uint64_t>{{10, 1}, {100, 1}, {500, 1}}));
  EXPECT_EQ(s.StackedCount(), device.stacked);
  EXPECT_EQ(static_cast<uint64_t>(s.StackedSum()), device.stacked_sum);
  EXPECT_EQ(s.StackedSum(), host_.Credited());
  EXPECT_EQ(s.returned, (std::map<int64_t, uint64_t>{{kReturnedValue, 1}}));
  EXPECT_EQ(s.ReturnedCount(), device.returned);
  EXPECT_EQ(s.rejected, (std::map<uint8_t, uint64_t>{{0x68, 1}}));
  EXPECT_EQ(s.loads.size(), 2U);
  EXPECT_EQ(s.power_ups, 2U);  // the device's start and the power cut
  EXPECT_GE(s.timeouts, 3U);
  EXPECT_GE(s.silences, 1U);
  EXPECT_GE(s.bad_frames, 1U);
  EXPECT_GE(s.failed_cycles, 2U);  // the silence and the bad frame each failed a cycle

  // Split at the rotation: each half holds its own bills.
  const logread::Summary before = read({.until = first[0]}).summary;
  const logread::Summary after = read({.since = first[0]}).summary;
  EXPECT_EQ(before.stacked, (std::map<int64_t, uint64_t>{{100, 1}}));
  EXPECT_EQ(before.returned, s.returned);
  EXPECT_EQ(before.rejected, s.rejected);
  EXPECT_GE(before.timeouts, 3U);
  EXPECT_EQ(after.stacked, (std::map<int64_t, uint64_t>{{10, 1}, {500, 1}}));
  EXPECT_TRUE(after.returned.empty());
  EXPECT_EQ(after.loads.size(), 1U);
  EXPECT_EQ(after.power_ups, 1U);

  // Every line the driver wrote at its own level is one of its phrases: none
  // that the reader would pass over unknown.
  std::size_t driver_lines = 0;
  for (const std::string& content : contents) {
    for (std::size_t begin = 0, end = 0; begin < content.size(); begin = end + 2) {
      end = std::min(content.find("\r\n", begin), content.size());
      const std::string_view line(content.data() + begin, end - begin);
      if (!line.starts_with("? ")) {
        continue;
      }
      ++driver_lines;
      const std::size_t text = line.find("] ");
      ASSERT_NE(text, std::string_view::npos) << line;
      EXPECT_TRUE(MatchLogPhrase(line.substr(text + 2))) << Cp1251ToUtf8(line);
    }
  }
  EXPECT_GT(driver_lines, 20U);
}

}  // namespace
}  // namespace notavero
