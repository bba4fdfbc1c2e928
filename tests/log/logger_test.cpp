#include "log/logger.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/cp1251.h"
#include "driver/platform.h"
#include "log/logger_testing.h"

namespace notavero {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kOpenFailure = Cp1251(u8"Ошибка открытия файла:").str();
// What a missing file's open reports.
const std::string kMissingFileLine = kOpenFailure + std::system_category().message(ENOENT);
// Why a FIFO or a socket is not written.
const std::string kNotAFileLine = kOpenFailure + Cp1251(u8"не обычный файл и не символьное устройство").str();
const std::string kStamp = "06.12 10:50:55.123";
const std::regex kStampPattern(R"(\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d)");

LogLocalTime g_time;  // set by the test thread only, before it logs
LogLocalTime FixedTime() {
  return g_time;
}

void SetTime(int month, int day, int hour, int minute, int second, int millisecond) {
  g_time = LogLocalTime{month, day, hour, minute, second, millisecond};
  log_testing::SetClock(&FixedTime);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The file's lines, split at CR LF (the last, after the final CR LF, dropped).
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = bytes.find("\r\n"); end != std::string::npos; end = bytes.find("\r\n", start)) {
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, bytes.size()) << "file does not end in CR LF";
  return lines;
}

std::vector<std::string> DirectoryNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_testing::Reset();
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("notavero-log-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_ = dir_ / "Notavero.log";
  }

  void TearDown() override {
    log_testing::Reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path dir_;
  fs::path log_;
};

TEST_F(LogTest, NewFileInNewDirectoryStartsWithEmptyLineAndOpenFailure) {
  SetTime(12, 6, 10, 50, 55, 123);
  const fs::path log = dir_ / "new" / "deeper" / "Notavero.log";
  LogInit(log.string());
  EXPECT_TRUE(fs::is_directory(log.parent_path()));
  EXPECT_FALSE(fs::exists(log));

  LogWrite(2, "abc");
  SetTime(1, 31, 23, 5, 9, 7);
  LogWrite(1, "def");

  EXPECT_EQ(ReadFile(log),
            "\r\n" + kMissingFileLine + "\r\n? 06.12 10:50:55.123 [] abc\r\n+ 31.01 23:05:09.007 [] def\r\n");
  EXPECT_THAT(log_testing::PendingLines(), IsEmpty());
}

TEST_F(LogTest, EveryLevelHasItsMarkAndHigherLevelsTakeTheLast) {
  SetTime(12, 6, 10, 50, 55, 123);
  WriteFile(log_, "");
  LogInit(log_.string());
  const std::string russian = Cp1251(u8"Принять купюру?").str();
  for (int level = 0; level <= 7; ++level) {
    LogWrite(static_cast<uint8_t>(level), "t" + std::to_string(level));
  }
  LogWrite(255, russian);
  LogWrite(2, "");

  EXPECT_THAT(Lines(ReadFile(log_)),
              ElementsAre("", "- " + kStamp + " [] t0", "+ " + kStamp + " [] t1", "? " + kStamp + " [] t2",
                          "! " + kStamp + " [] t3", "# " + kStamp + " [] t4", "$ " + kStamp + " [] t5",
                          "^ " + kStamp + " [] t6", "^ " + kStamp + " [] t7",
                          "^ " + kStamp + " [] " + russian, "? " + kStamp + " [] "));
  // Levels above 6 are not alerts.
  EXPECT_EQ(log_testing::AlertLines().size(), 1U);
}

TEST_F(LogTest, ExistingFileGetsOneEmptyLinePerLoad) {
  SetTime(12, 6, 10, 50, 55, 123);
  WriteFile(log_, "old\r\n");
  LogInit(log_.string());
  LogWrite(2, "a");
  LogWrite(2, "b");
  LogInit(log_.string());  // a second driver object in the same load
  LogWrite(2, "c");

  EXPECT_THAT(Lines(ReadFile(log_)), ElementsAre("old", "", "? " + kStamp + " [] a", "? " + kStamp + " [] b",
                                                 "? " + kStamp + " [] c"));
  EXPECT_FALSE(log_testing::FirstWrite());
}

TEST_F(LogTest, EachProcessLoadBeginsWithAnEmptyLine) {
  const std::string run = std::string(NOTAVERO_LOG_DEMO) + " '" + log_.string() + "'";
  ASSERT_EQ(std::system(run.c_str()), 0);
  ASSERT_EQ(std::system(run.c_str()), 0);

  const std::vector<std::string> lines = Lines(ReadFile(log_));
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], kMissingFileLine);
  EXPECT_EQ(lines[3], "");
  for (const std::size_t i : {2U, 4U}) {
    EXPECT_EQ(lines[i].size(), 2 + 18 + 7U) << lines[i];
    EXPECT_EQ(lines[i].substr(0, 2), "? ");
    EXPECT_TRUE(std::regex_match(lines[i].substr(2, 18), kStampPattern)) << lines[i];
    EXPECT_EQ(lines[i].substr(20), " [] abc");
  }
}

TEST_F(LogTest, ShortNameIsAnExtensionOfTheExecutablePath) {
  // An executable with an extension: the extension is replaced.
  const fs::path demo = dir_ / "demo.bin";
  fs::copy_file(NOTAVERO_LOG_DEMO, demo);
  ASSERT_EQ(std::system(("'" + demo.string() + "' .log").c_str()), 0);
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("demo.bin", "demo.log"));
  EXPECT_EQ(Lines(ReadFile(dir_ / "demo.log")).size(), 3U);

  // Ten characters still make an extension; this test binary has none, so
  // it is appended.
  const std::string exe = fs::read_symlink("/proc/self/exe").string();
  LogInit(".abcdefghi");
  EXPECT_EQ(log_testing::FileName(), exe + ".abcdefghi");
  // Eleven characters make a path as it stands.
  LogInit("abcdefghijk");
  EXPECT_EQ(log_testing::FileName(), "abcdefghijk");
}

// Sets NOTAVERO_LOG and the working directory for one test, and puts both
// back.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* log, const fs::path& directory) : directory_(fs::current_path()) {
    EXPECT_EQ(::setenv("NOTAVERO_LOG", log, 1), 0);
    fs::current_path(directory);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    ::unsetenv("NOTAVERO_LOG");
    fs::current_path(directory_);
  }

 private:
  fs::path directory_;
};

TEST_F(LogTest, EnvironmentPathIsThePathHoweverShort) {
  SetTime(12, 6, 10, 50, 55, 123);
  {
    // Short enough to be an extension if code passed it to LogInit.
    const ScopedEnvironment environment("n.log", dir_);
    LogInit(LogFilePath());
    EXPECT_EQ(log_testing::FileName(), "n.log");
    LogWrite(2, "abc");
  }
  EXPECT_EQ(ReadFile(dir_ / "n.log"), "\r\n" + kMissingFileLine + "\r\n? " + kStamp + " [] abc\r\n");

  const ScopedEnvironment environment("/dev/null", dir_);
  LogInit(LogFilePath());
  EXPECT_EQ(log_testing::FileName(), "/dev/null");
  LogWrite(2, "def");
  EXPECT_THAT(log_testing::PendingLines(), IsEmpty());
  EXPECT_EQ(log_testing::FileName(), "/dev/null");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("n.log"));
}

TEST_F(LogTest, FileOfExactlyTheLimitIsRotatedOnlyWhenItGrowsPastIt) {
  SetTime(12, 6, 10, 50, 55, 123);
  WriteFile(log_, "");
  fs::resize_file(log_, kLogMaxSize);
  LogInit(log_.string());
  const std::string line = "? " + kStamp + " [] abc\r\n";

  LogWrite(2, "abc");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log"));
  const std::uintmax_t grown = kLogMaxSize + 2 + line.size();
  EXPECT_EQ(fs::file_size(log_), grown);

  LogWrite(2, "abc");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0"));
  EXPECT_EQ(fs::file_size(dir_ / "Notavero.log.0"), grown);
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + line);
}

TEST_F(LogTest, OneByteOverTheLimitRotatesTheOnlyFileBeforeTheLine) {
  SetTime(12, 6, 10, 50, 55, 123);
  WriteFile(log_, "");
  fs::resize_file(log_, kLogMaxSize + 1);
  LogInit(log_.string());
  LogWrite(2, "abc");

  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0"));
  EXPECT_EQ(fs::file_size(dir_ / "Notavero.log.0"), kLogMaxSize + 1U);
  EXPECT_EQ(ReadFile(log_), "\r\n" + kMissingFileLine + "\r\n? " + kStamp + " [] abc\r\n");
}

TEST_F(LogTest, RotationWithAllElevenCopiesDropsTheOldest) {
  SetTime(12, 6, 10, 50, 55, 123);
  for (int n = 0; n <= 10; ++n) {
    WriteFile(dir_ / ("Notavero.log." + std::to_string(n)), "copy" + std::to_string(n));
  }
  WriteFile(log_, "current");
  fs::resize_file(log_, kLogMaxSize + 1);
  LogInit(log_.string());
  LogWrite(2, "abc");

  EXPECT_EQ(DirectoryNames(dir_).size(), 12U);
  EXPECT_EQ(fs::file_size(dir_ / "Notavero.log.0"), kLogMaxSize + 1U);
  for (int n = 1; n <= 10; ++n) {
    EXPECT_EQ(ReadFile(dir_ / ("Notavero.log." + std::to_string(n))), "copy" + std::to_string(n - 1));
  }
  EXPECT_EQ(ReadFile(log_), "\r\n" + kMissingFileLine + "\r\n? " + kStamp + " [] abc\r\n");
}

TEST_F(LogTest, RotateMovesCopiesPastGapsAndNeverOverwrites) {
  WriteFile(log_, "12345");
  WriteFile(dir_ / "Notavero.log.1", "one");
  WriteFile(dir_ / "Notavero.log.3", "three");
  LogInit(log_.string());

  LogRotate(5);  // not larger than the limit
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.1", "Notavero.log.3"));

  LogRotate(4);
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log.0", "Notavero.log.2", "Notavero.log.4"));
  EXPECT_EQ(ReadFile(dir_ / "Notavero.log.0"), "12345");
  EXPECT_EQ(ReadFile(dir_ / "Notavero.log.2"), "one");
  EXPECT_EQ(ReadFile(dir_ / "Notavero.log.4"), "three");

  // When ".10" cannot be deleted, no copy can move up: each keeps its place
  // and nothing is overwritten.
  for (int n = 0; n <= 9; ++n) {
    WriteFile(dir_ / ("Notavero.log." + std::to_string(n)), "copy" + std::to_string(n));
  }
  fs::create_directories(dir_ / "Notavero.log.10" / "full");
  WriteFile(log_, "67890");
  LogRotate(4);
  EXPECT_EQ(ReadFile(log_), "67890");
  for (int n = 0; n <= 9; ++n) {
    EXPECT_EQ(ReadFile(dir_ / ("Notavero.log." + std::to_string(n))), "copy" + std::to_string(n));
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "Notavero.log.10" / "full"));
}

TEST_F(LogTest, UncreatableDirectorySwitchesFileLoggingOffQuietly) {
  SetTime(12, 6, 10, 50, 55, 123);
  WriteFile(dir_ / "blocker", "a file where a directory should be");
  const fs::path log = dir_ / "blocker" / "sub" / "Notavero.log";
  LogInit(log.string());
  EXPECT_EQ(log_testing::FileName(), log.string());

  LogWrite(2, "abc");
  EXPECT_EQ(log_testing::FileName(), "");
  ASSERT_EQ(log_testing::PendingLines().size(), 1U);
  EXPECT_EQ(log_testing::PendingLines()[0].substr(0, kOpenFailure.size()), kOpenFailure);

  // Later calls stop before the file; level-3 lines are still remembered.
  LogWrite(2, "def");
  LogWrite(3, "alert");
  EXPECT_EQ(log_testing::PendingLines().size(), 1U);
  EXPECT_EQ(log_testing::AlertLines().size(), 1U);
  EXPECT_TRUE(log_testing::FirstWrite());
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("blocker"));

  // The next LogInit drops the waiting line and writing starts over.
  LogInit(log_.string());
  LogWrite(2, "ghi");
  EXPECT_EQ(ReadFile(log_), "\r\n" + kMissingFileLine + "\r\n? " + kStamp + " [] ghi\r\n");
}

// Runs LogWrite on another thread; false when it has not returned after a
// minute.  A writer stuck in opening `fifo` is then let go by opening the
// FIFO for reading, so that the test can end.
bool LogWriteReturns(const fs::path& fifo, std::string_view text) {
  std::promise<void> returned;
  std::future<void> done = returned.get_future();
  std::thread writer([&returned, text] {
    LogWrite(2, text);
    returned.set_value();
  });
  const bool in_time = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  int reader = -1;
  if (!in_time) {
    reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  }
  writer.join();
  if (reader >= 0) {
    ::close(reader);
  }
  return in_time;
}

TEST_F(LogTest, FifoSocketOrDirectorySwitchesFileLoggingOffWithoutWaiting) {
  SetTime(12, 6, 10, 50, 55, 123);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  // Nobody reads the FIFO: the write returns, with one message waiting and
  // file logging off.
  LogInit(fifo.string());
  ASSERT_TRUE(LogWriteReturns(fifo, "abc")) << "LogWrite is stuck on a FIFO nobody reads";
  EXPECT_EQ(log_testing::FileName(), "");
  EXPECT_THAT(log_testing::PendingLines(), ElementsAre(kNotAFileLine));
  ASSERT_TRUE(LogWriteReturns(fifo, "def"));
  EXPECT_THAT(log_testing::PendingLines(), ElementsAre(kNotAFileLine));

  // A FIFO that somebody reads gets nothing either.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  LogInit(fifo.string());
  ASSERT_TRUE(LogWriteReturns(fifo, "ghi"));
  char byte = 0;
  EXPECT_LE(::read(reader, &byte, 1), 0) << "the log wrote into a FIFO";
  ::close(reader);
  EXPECT_EQ(log_testing::FileName(), "");
  EXPECT_THAT(log_testing::PendingLines(), ElementsAre(kNotAFileLine));

  // A listening socket in the file system.
  const fs::path socket_path = dir_ / "socket";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.string().size(), sizeof(address.sun_path));
  socket_path.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  LogInit(socket_path.string());
  LogWrite(2, "jkl");
  ::close(listener);
  EXPECT_EQ(log_testing::FileName(), "");
  EXPECT_THAT(log_testing::PendingLines(), ElementsAre(kNotAFileLine));

  // A directory.
  LogInit(dir_.string());
  LogWrite(2, "mno");
  EXPECT_EQ(log_testing::FileName(), "");
  ASSERT_EQ(log_testing::PendingLines().size(), 1U);
  EXPECT_EQ(log_testing::PendingLines()[0], kOpenFailure + std::system_category().message(EISDIR));

  // The next LogInit to a regular file works, and nothing was created on
  // the way.
  LogInit(log_.string());
  LogWrite(2, "pqr");
  EXPECT_EQ(ReadFile(log_), "\r\n" + kMissingFileLine + "\r\n? " + kStamp + " [] pqr\r\n");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "fifo", "socket"));
}

// Files in memory, whose opens and writes fail on request.
class MemoryFiles final : public LogFileLayer {
 public:
  LogFileHandle OpenExisting(const std::string& path, std::string& error) override {
    if (open_error.empty() && files.count(path) != 0) {
      return Opened(path);
    }
    error = open_error.empty() ? "missing" : open_error;
    return kNoLogFile;
  }

  LogFileHandle Create(const std::string& path, std::string& /*error*/) override {
    files[path].clear();
    return Opened(path);
  }

  // A write beyond `room` stores what fits, as a full disk does, and fails.
  bool Write(LogFileHandle file, std::string_view bytes) override {
    if (writes_left == 0) {
      return false;
    }
    if (writes_left > 0) {
      --writes_left;
    }
    std::string& content = files[open.at(file)];
    if (room >= 0 && bytes.size() > static_cast<std::size_t>(room)) {
      content.append(bytes.substr(0, static_cast<std::size_t>(room)));
      room = 0;
      return false;
    }
    if (room >= 0) {
      room -= static_cast<int64_t>(bytes.size());
    }
    content.append(bytes);
    return true;
  }

  int64_t Size(LogFileHandle file) override { return static_cast<int64_t>(files[open.at(file)].size()); }

  bool Truncate(LogFileHandle file, int64_t size) override {
    std::string& content = files[open.at(file)];
    if (room >= 0) {
      room += static_cast<int64_t>(content.size()) - size;
    }
    content.resize(static_cast<std::size_t>(size));
    return true;
  }

  void Close(LogFileHandle file) override { open.erase(file); }

  std::map<std::string, std::string> files;
  std::map<LogFileHandle, std::string> open;
  std::string open_error;  // when not empty, every open fails with it
  int writes_left = -1;    // writes that still succeed; -1: all
  int64_t room = -1;       // bytes that still fit; -1: any number

 private:
  LogFileHandle Opened(const std::string& path) {
    open[next_] = path;
    return next_++;
  }
  LogFileHandle next_ = 3;
};

TEST_F(LogTest, WriteFailingAmongPendingLinesKeepsTheRestInOrder) {
  SetTime(12, 6, 10, 50, 55, 123);
  MemoryFiles files;
  log_testing::SetFileLayer(&files);
  const std::string name = log_.string();
  LogInit(name);

  files.writes_left = 0;
  for (int i = 1; i <= 3; ++i) {
    files.open_error = "M" + std::to_string(i);
    LogWrite(2, "lost" + std::to_string(i));
  }
  EXPECT_THAT(log_testing::PendingLines(),
              ElementsAre(kOpenFailure + "M1", kOpenFailure + "M2", kOpenFailure + "M3"));
  EXPECT_TRUE(log_testing::FirstWrite());
  EXPECT_EQ(files.files[name], "");

  // The empty line and the first waiting line get through, then a write fails.
  files.open_error.clear();
  files.writes_left = 2;
  LogWrite(2, "lost4");
  EXPECT_FALSE(log_testing::FirstWrite());
  EXPECT_THAT(log_testing::PendingLines(), ElementsAre(kOpenFailure + "M2", kOpenFailure + "M3"));
  EXPECT_EQ(files.files[name], "\r\n" + kOpenFailure + "M1\r\n");
  EXPECT_EQ(log_testing::FileName(), name);

  // The four lines whose writes failed are reported after the waiting ones.
  files.writes_left = -1;
  LogWrite(2, "kept");
  EXPECT_THAT(Lines(files.files[name]),
              ElementsAre("", kOpenFailure + "M1", kOpenFailure + "M2", kOpenFailure + "M3",
                          Cp1251(u8"Пропущено строк журнала: 4").str(), "? " + kStamp + " [] kept"));
  EXPECT_THAT(log_testing::PendingLines(), IsEmpty());
  EXPECT_THAT(files.open, IsEmpty()) << "a file was left open";
}

TEST_F(LogTest, WaitingLinesAreBoundedAndTheDroppedOnesCounted) {
  SetTime(12, 6, 10, 50, 55, 123);
  MemoryFiles files;
  log_testing::SetFileLayer(&files);
  const std::string name = log_.string();
  LogInit(name);

  files.writes_left = 0;
  for (std::size_t i = 0; i < kLogMaxPendingLines + 5; ++i) {
    files.open_error = "M" + std::to_string(i);
    LogWrite(2, "lost");
  }
  const std::vector<std::string> pending = log_testing::PendingLines();
  ASSERT_EQ(pending.size(), kLogMaxPendingLines);
  EXPECT_EQ(pending.front(), kOpenFailure + "M0");
  EXPECT_EQ(pending.back(), kOpenFailure + "M" + std::to_string(kLogMaxPendingLines - 1));

  files.open_error.clear();
  files.writes_left = -1;
  LogWrite(2, "back");
  LogWrite(2, "again");
  const std::vector<std::string> lines = Lines(files.files[name]);
  ASSERT_EQ(lines.size(), kLogMaxPendingLines + 4);
  EXPECT_EQ(lines[kLogMaxPendingLines], kOpenFailure + "M" + std::to_string(kLogMaxPendingLines - 1));
  // 5 waiting lines beyond the bound and the 10,005 lines whose writes failed.
  EXPECT_EQ(lines[kLogMaxPendingLines + 1], Cp1251(u8"Пропущено строк журнала: 10010").str());
  EXPECT_EQ(lines[kLogMaxPendingLines + 2], "? " + kStamp + " [] back");
  EXPECT_EQ(lines[kLogMaxPendingLines + 3], "? " + kStamp + " [] again");
}

TEST_F(LogTest, AlertLinesKeepTheFirstOfEachCaseSensitiveText) {
  WriteFile(log_, "");
  LogInit(log_.string());
  const std::string fault = Cp1251(u8"Сбой").str();
  const std::string fault_lower = Cp1251(u8"сбой").str();
  SetTime(12, 6, 10, 50, 55, 100);
  LogWrite(3, fault);
  SetTime(12, 6, 10, 50, 55, 200);
  LogWrite(3, fault);
  LogWrite(3, fault_lower);
  LogWrite(2, "other");
  LogWrite(3, "Abc");
  LogWrite(3, "abc");

  EXPECT_THAT(log_testing::AlertLines(),
              ElementsAre("06.12 10:50:55.100 [] " + fault, "06.12 10:50:55.200 [] " + fault_lower,
                          "06.12 10:50:55.200 [] Abc", "06.12 10:50:55.200 [] abc"));
  EXPECT_EQ(log_testing::AlertEventCount(), 5U);
  EXPECT_TRUE(log_testing::WaitAlertEvent(std::chrono::seconds(5)));
  EXPECT_FALSE(log_testing::WaitAlertEvent(std::chrono::milliseconds(0))) << "the event resets itself";

  const std::vector<std::string> lines = Lines(ReadFile(log_));
  ASSERT_EQ(lines.size(), 7U);
  EXPECT_EQ(lines[1], "! 06.12 10:50:55.100 [] " + fault);
  EXPECT_EQ(lines[2], "! 06.12 10:50:55.200 [] " + fault);

  LogInit(log_.string());
  EXPECT_THAT(log_testing::AlertLines(), IsEmpty());
}

class RecordingSink final : public LogSink {
 public:
  void Post(uint8_t level, std::string_view line) override {
    const std::lock_guard lock(mutex_);
    posts_.emplace_back(level, line);
  }
  std::vector<std::pair<uint8_t, std::string>> Take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(posts_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<uint8_t, std::string>> posts_;
};

TEST_F(LogTest, DisplaySinkGetsLinesAndTheFileNotices) {
  SetTime(12, 6, 10, 50, 55, 123);
  RecordingSink sink;
  log_testing::SetSink(&sink);
  WriteFile(dir_ / "blocker", "");
  const std::string blocked = (dir_ / "blocker" / "sub" / "Notavero.log").string();
  LogInit(blocked);
  LogWrite(0, "abc");
  LogWrite(2, "quiet");
  using Post = std::pair<uint8_t, std::string>;
  EXPECT_THAT(sink.Take(),
              ElementsAre(Post{0, kStamp + " [] abc"},
                          Post{4, kStamp + Cp1251(u8" Не могу записать файл журнала ").str() + blocked},
                          Post{2, kStamp + " [] quiet"}));

  LogInit(log_.string());
  LogWrite(1, "x");
  LogWrite(1, "y");
  EXPECT_THAT(
      sink.Take(),
      ElementsAre(Post{1, kStamp + " [] x"},
                  Post{4, kStamp + Cp1251(u8" Восстановлена запись файла журнала ").str() + log_.string()},
                  Post{1, kStamp + " [] y"}));
}

TEST_F(LogTest, FailedWritesLeaveWholeLinesAndAreReportedOnceWritingWorks) {
  SetTime(12, 6, 10, 50, 55, 123);
  MemoryFiles files;
  log_testing::SetFileLayer(&files);
  RecordingSink sink;
  log_testing::SetSink(&sink);
  const std::string name = log_.string();
  LogInit(name);
  LogWrite(2, "first");
  const std::string start = "\r\n" + std::string(kOpenFailure) + "missing\r\n? " + kStamp + " [] first\r\n";
  ASSERT_EQ(files.files[name], start);

  // The disk takes ten more bytes: each line is cut short, then cut back.
  files.room = 10;
  LogWrite(2, "second");
  LogWrite(2, "third");
  EXPECT_EQ(files.files[name], start);
  // A write that fails outright.
  files.room = -1;
  files.writes_left = 0;
  LogWrite(2, "fourth");
  EXPECT_EQ(files.files[name], start);
  // The report goes out with the next line, in one write; they do not fit
  // together, so both are cut back and that line is lost too.
  files.writes_left = -1;
  files.room = 20;
  LogWrite(2, "fifth");
  EXPECT_EQ(files.files[name], start);
  EXPECT_THAT(log_testing::PendingLines(), IsEmpty());

  files.room = -1;
  LogWrite(2, "sixth");
  LogWrite(2, "seventh");
  EXPECT_EQ(files.files[name], start + Cp1251(u8"Пропущено строк журнала: 4").str() + "\r\n? " + kStamp +
                                   " [] sixth\r\n? " + kStamp + " [] seventh\r\n");
  EXPECT_THAT(files.open, IsEmpty()) << "a file was left open";

  // The display hears once that the file cannot be written, and once that
  // it can again.
  std::vector<std::string> notices;
  for (const auto& [level, line] : sink.Take()) {
    if (level == 4) {
      notices.push_back(line);
    }
  }
  EXPECT_THAT(notices, ElementsAre(kStamp + Cp1251(u8" Не могу записать файл журнала ").str() + name,
                                   kStamp + Cp1251(u8" Восстановлена запись файла журнала ").str() + name));
}

// Unmounts a file system at the end of a test.
class ScopedMount {
 public:
  explicit ScopedMount(fs::path point) : point_(std::move(point)) {}
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  ~ScopedMount() { ::umount2(point_.c_str(), MNT_DETACH); }

 private:
  fs::path point_;
};

TEST_F(LogTest, FullDiskLosesWholeLinesAndReportsThemWhenThereIsRoomAgain) {
  const fs::path small = dir_ / "small";
  fs::create_directories(small);
  // In a mount namespace of this process's own, so that the small file
  // system goes away with the process whatever happens to the test.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("none", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::system_category().message(errno);
  }
  const ScopedMount mounted(small);
  SetTime(12, 6, 10, 50, 55, 123);

  // A filler leaves the log about 8 kB.
  struct statvfs space {};
  ASSERT_EQ(::statvfs(small.c_str(), &space), 0);
  const auto free_bytes = static_cast<std::size_t>(space.f_bavail) * space.f_bsize;
  ASSERT_GT(free_bytes, 8192U);
  const fs::path filler = small / "filler";
  WriteFile(filler, std::string(free_bytes - 8192, 'f'));

  constexpr int kLines = 40;  // about 40 kB
  const fs::path log = small / "Notavero.log";
  LogInit(log.string());
  for (int i = 0; i < kLines; ++i) {
    LogWrite(2, "L" + std::to_string(i) + " " + std::string(1000, 'x'));
  }
  fs::remove(filler);
  LogWrite(2, "after");

  const std::vector<std::string> lines = Lines(ReadFile(log));
  ASSERT_GE(lines.size(), 4U);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], kMissingFileLine);
  const std::size_t kept = lines.size() - 4;
  EXPECT_GT(kept, 0U);
  EXPECT_LT(kept, static_cast<std::size_t>(kLines));
  for (std::size_t i = 0; i < kept; ++i) {
    EXPECT_EQ(lines[2 + i], "? " + kStamp + " [] L" + std::to_string(i) + " " + std::string(1000, 'x'));
  }
  EXPECT_EQ(lines[lines.size() - 2],
            Cp1251(u8"Пропущено строк журнала: ").str() + std::to_string(kLines - static_cast<int>(kept)));
  EXPECT_EQ(lines.back(), "? " + kStamp + " [] after");
}

// Every line of a file written by threads: whole, in the line format, and
// each thread's lines in its own order.  Returns how many lines each thread
// wrote.
std::vector<int> CheckWholeLines(const std::string& bytes, int threads) {
  static const std::regex kLine(R"([-+?!#$^] \d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d \[\] T(\d) (\d+) x*)");
  std::vector<int> count(static_cast<std::size_t>(threads), 0);
  std::vector<int> last(static_cast<std::size_t>(threads), -1);
  for (const std::string& line : Lines(bytes)) {
    if (line.empty() || line.rfind(kOpenFailure, 0) == 0) {
      continue;
    }
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
      ADD_FAILURE() << "broken line: " << line;
      continue;
    }
    const auto thread = static_cast<std::size_t>(std::stoi(match[1]));
    if (thread >= count.size()) {
      ADD_FAILURE() << "unknown thread: " << line;
      continue;
    }
    const int seq = std::stoi(match[2]);
    const int expected_length = static_cast<int>(std::to_string(seq).size()) + (seq % 97);
    EXPECT_EQ(static_cast<int>(line.size()) - 28, expected_length) << line;
    EXPECT_GT(seq, last[thread]) << line;
    last[thread] = seq;
    ++count[thread];
  }
  return count;
}

void LogLines(int thread, int count) {
  for (int i = 0; i < count; ++i) {
    LogWrite(static_cast<uint8_t>(1 + thread),
             "T" + std::to_string(thread) + " " + std::to_string(i) + " " + std::string(i % 97, 'x'));
  }
}

TEST_F(LogTest, TwoThreadsWriteWholeLines) {
  constexpr int kLines = 1500;
  LogInit(log_.string());
  std::thread first(LogLines, 0, kLines);
  std::thread second(LogLines, 1, kLines);
  first.join();
  second.join();
  EXPECT_THAT(CheckWholeLines(ReadFile(log_), 2), ElementsAre(kLines, kLines));
}

TEST_F(LogTest, LogInitWhileAnotherThreadLogs) {
  constexpr int kLines = 1000;
  const fs::path other = dir_ / "Other.log";
  LogInit(log_.string());
  std::thread writer(LogLines, 0, kLines);
  for (int i = 0; i < 200; ++i) {
    LogInit((i % 2 == 0 ? other : log_).string());
  }
  writer.join();
  // Each line went whole to one of the two files.
  const std::vector<int> first = CheckWholeLines(ReadFile(log_), 1);
  const std::vector<int> second = CheckWholeLines(ReadFile(other), 1);
  EXPECT_EQ(first[0] + second[0], kLines);
}

std::size_t OpenDescriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// The stamp of the test clock's time now.
std::string StampNow() {
  std::array<char, 32> stamp{};
  std::snprintf(stamp.data(), stamp.size(), "%02d.%02d %02d:%02d:%02d.%03d", g_time.day, g_time.month,
                g_time.hour, g_time.minute, g_time.second, g_time.millisecond);
  return stamp.data();
}

// While held (an open port holds the log) the file stays open between
// lines, yet the lines go where the path points, as without the hold: from
// the next second of the log's clock on, a removed file is created anew, one
// renamed away is left behind, one past the limit is rotated.  The last
// release closes the file.
TEST_F(LogTest, HeldFileFollowsItsPathAndTheLastReleaseClosesIt) {
  SetTime(12, 6, 10, 50, 55, 123);
  const auto line = [](const std::string& text) { return "? " + StampNow() + " [] " + text + "\r\n"; };
  LogInit(log_.string());
  const std::size_t descriptors = OpenDescriptors();
  LogHoldFile();
  LogHoldFile();
  LogWrite(2, "one");
  const std::string one = line("one");
  LogWrite(2, "two");
  EXPECT_TRUE(log_testing::FileKeptOpen());
  EXPECT_EQ(ReadFile(log_), "\r\n" + kMissingFileLine + "\r\n" + one + line("two"));

  fs::remove(log_);
  SetTime(12, 6, 10, 50, 56, 123);
  LogWrite(2, "three");
  const std::string three = line("three");
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + three);

  fs::rename(log_, dir_ / "moved");
  SetTime(12, 6, 10, 50, 57, 123);
  LogWrite(2, "four");
  EXPECT_EQ(ReadFile(dir_ / "moved"), kMissingFileLine + "\r\n" + three);
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + line("four"));

  fs::resize_file(log_, kLogMaxSize + 1);
  SetTime(12, 6, 10, 50, 58, 123);
  LogWrite(2, "five");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0", "moved"));
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + line("five"));

  LogReleaseFile();
  EXPECT_TRUE(log_testing::FileKeptOpen());
  LogReleaseFile();
  EXPECT_FALSE(log_testing::FileKeptOpen());
  EXPECT_EQ(OpenDescriptors(), descriptors);
  LogWrite(2, "six");  // unheld: opened and closed for the line
  EXPECT_FALSE(log_testing::FileKeptOpen());
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// A held file's path is asked once a second of the log's clock, not once a
// line: within the second that asked, lines go on into the held file and
// its size is what the log wrote; the first line of the next second asks.
// The log's own lines past the limit rotate the file within the second.
TEST_F(LogTest, HeldFileAsksItsPathOnceASecondOfTheLogsClock) {
  SetTime(12, 6, 10, 50, 55, 0);
  const auto line = [](const std::string& text) { return "? " + StampNow() + " [] " + text + "\r\n"; };
  LogInit(log_.string());
  LogHoldFile();
  LogWrite(2, "one");  // opened: the path asked for this second
  const std::string one = line("one");
  fs::rename(log_, dir_ / "moved");
  SetTime(12, 6, 10, 50, 55, 999);
  LogWrite(2, "two");
  const std::string two = line("two");
  EXPECT_FALSE(fs::exists(log_)) << "the path was asked again within the second";
  SetTime(12, 6, 10, 50, 56, 0);
  LogWrite(2, "three");
  EXPECT_EQ(ReadFile(dir_ / "moved"), "\r\n" + kMissingFileLine + "\r\n" + one + two);
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + line("three"));

  // Grown past the limit by somebody else: seen at the next second's question.
  fs::resize_file(log_, kLogMaxSize + 1);
  SetTime(12, 6, 10, 50, 56, 500);
  LogWrite(2, "four");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "moved"));
  SetTime(12, 6, 10, 50, 57, 0);
  LogWrite(2, "five");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0", "moved"));
  EXPECT_EQ(fs::file_size(dir_ / "Notavero.log.0"), kLogMaxSize + 1 + line("four").size());

  // Grown past it by the log's own line: rotated before the next line of
  // the same second.
  const std::string five = kMissingFileLine + "\r\n" + line("five");
  const auto padding = static_cast<std::size_t>(kLogMaxSize) - five.size() - 10;
  LogWrite(2, std::string(padding, 'x'));
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0", "moved"));
  LogWrite(2, "six");
  EXPECT_THAT(DirectoryNames(dir_), ElementsAre("Notavero.log", "Notavero.log.0", "Notavero.log.1", "moved"));
  EXPECT_EQ(ReadFile(log_), kMissingFileLine + "\r\n" + line("six"));
  LogReleaseFile();
}

}  // namespace
}  // namespace notavero
