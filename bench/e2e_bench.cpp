// notavero-bench: the driver end to end against the simulator on a
// pseudo-terminal paced as a 9600-baud line, with each figure set against
// the least the line and the driver's fixed pauses allow.
//
//   notavero-bench [--seconds S] [--bills N] [--json FILE] [--quick]
//
// Figures:
//   poll cycle period (median, 95th percentile) of an enabled, idle device,
//     from the simulator's time stamps of successive poll frames; floor: the
//     100 ms acknowledge pause plus the wire time of the 6-byte poll frame
//     and of its 6-byte reply;
//   escrow to Stack: from the last byte of the escrow reply to the end of
//     the Stack frame on the wire (its arrival time stamp plus its wire
//     time), with a host that answers at once; floor: the acknowledge pause
//     plus the Stack frame's wire time;
//   CPU time of this process per second of wall time while the driver polls
//     an idle device, and peak resident memory: the simulator runs as a
//     separate process (notavero-sim, beside this program) for this part;
//   heap allocations per poll cycle in the same phase, counted by the
//     malloc of this program, with the functions that made them;
//   voluntary context switches (a thread went to sleep and was woken) per
//     poll cycle in the same phase, and system calls per poll cycle by name
//     in a second phase, counted by `strace -c -f` attached to this process
//     (skipped when strace is missing); strace slows the calls it counts, so
//     the CPU figure comes from the first phase only.  The functions that
//     allocate are found in a third, shorter phase: taking a backtrace of
//     every allocation costs more CPU than the driver itself;
//   the fixed pauses of the exchange, from the simulator's time stamps of the
//     frames it read: after an enable frame (a command that awaits no reply)
//     and after an acknowledge, until the next frame (floor: the no-reply
//     pause); after a frame that got no reply, until it is sent again (floor:
//     the response time-out); and after the answered repeat, until the next
//     poll (floor: the quiet the line must keep after a time-out);
//   how long destroying the driver takes while it waits for a reply that
//     never comes (the destructor must end that wait, not sit it out).

#include <execinfo.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/notavero_unit.h"
#include "protocol/frame.h"
#include "sim/sim_server.h"

// ---------------------------------------------------------------------------
// Counting allocator: every malloc of the process goes through here.

extern "C" void* __libc_malloc(std::size_t size);                           // NOLINT
extern "C" void* __libc_calloc(std::size_t n, std::size_t size);            // NOLINT
extern "C" void* __libc_realloc(void* p, std::size_t size);                 // NOLINT
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);  // NOLINT

namespace {

constexpr std::size_t kSampleDepth = 16;
constexpr std::size_t kMaxSamples = 4096;
std::atomic<bool> g_counting{false};
std::atomic<bool> g_sampling{false};  // also take a backtrace of each allocation
std::atomic<uint64_t> g_allocations{0};
std::atomic<std::size_t> g_samples{0};
std::array<std::array<void*, kSampleDepth>, kMaxSamples> g_sample_frames{};
std::array<int, kMaxSamples> g_sample_depth{};
thread_local bool t_in_sample = false;

void NoteAllocation() {
  if (!g_counting.load(std::memory_order_relaxed) || t_in_sample) {
    return;
  }
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (!g_sampling.load(std::memory_order_relaxed)) {
    return;
  }
  const std::size_t slot = g_samples.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMaxSamples) {
    t_in_sample = true;
    g_sample_depth[slot] = backtrace(g_sample_frames[slot].data(), kSampleDepth);
    t_in_sample = false;
  }
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {  // NOLINT
  NoteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {  // NOLINT
  NoteAllocation();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {  // NOLINT
  NoteAllocation();
  return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {  // NOLINT
  NoteAllocation();
  return __libc_memalign(alignment, size);
}
}

namespace notavero {
namespace {

using namespace std::chrono_literals;
using sim::Direction;
using sim::SimServer;
using sim::TraceEntry;
using Ms = std::chrono::duration<double, std::milli>;

constexpr double kByteMs = 10.0 * 1000.0 / 9600.0;  // 10 bits a byte at 9600 baud
constexpr double kAckPauseMs = 100.0;
const std::vector<uint8_t> kPollFrame = {0x02, 0x03, 0x06, 0x33, 0xDA, 0x81};
const std::vector<uint8_t> kStackFrame = {0x02, 0x03, 0x06, 0x35, 0xEC, 0xE4};
const std::vector<uint8_t> kAckFrame = {0x02, 0x03, 0x06, 0x00, 0xC2, 0x82};
const std::vector<uint8_t> kSecurityFrame = {0x02, 0x03, 0x09, 0x32, 0xFF, 0xFF, 0xFF, 0x6D, 0x29};

struct Figure {
  std::string name;
  double value;
  std::string unit;
  double floor;  // 0: none
};

std::vector<Figure> g_figures;

void Print(const std::string& name, double value, const std::string& unit, double floor = 0) {
  g_figures.push_back({name, value, unit, floor});
  if (floor > 0) {
    std::printf("%-36s %10.2f %-6s floor %8.2f %-6s ratio %.3f\n", name.c_str(), value, unit.c_str(), floor,
                unit.c_str(), value / floor);
  } else {
    std::printf("%-36s %10.2f %s\n", name.c_str(), value, unit.c_str());
  }
  std::fflush(stdout);
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

bool WaitForFrame(SimServer& sim, const std::vector<uint8_t>& frame, std::size_t since) {
  return sim.WaitForTrace(
      [&](const TraceEntry& entry) {
        return entry.direction == Direction::kReceived && entry.bytes == frame;
      },
      30s, since);
}

int Host(int32_t kind, int64_t /*amount*/, void* /*user*/) {
  return kind == beEscrow ? 1 : 0;  // answers at once: stack
}

// The simulator's time stamps of the frames the driver sent after `since`, in
// order.  A frame is stamped when the simulator reads it: the driver writes
// each frame whole, so the stamp is the moment it was sent.
std::vector<TraceEntry> SentFrames(SimServer& sim, std::size_t since) {
  std::vector<TraceEntry> frames;
  sim.WaitForTrace(
      [&](const TraceEntry& entry) {
        if (entry.direction == Direction::kReceived && !entry.bytes.empty()) {
          frames.push_back(entry);
        }
        return false;
      },
      0ms, since);
  return frames;
}

// From each frame that `is_first` picks to the frame after it, in ms.
template <typename Pick>
std::vector<double> GapsAfter(const std::vector<TraceEntry>& frames, const Pick& is_first) {
  std::vector<double> gaps;
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    if (is_first(frames[i].bytes)) {
      gaps.push_back(Ms(frames[i + 1].time - frames[i].time).count());
    }
  }
  return gaps;
}

void PrintSpread(const std::string& name, const std::vector<double>& values, double floor) {
  Print(name + " median", Percentile(values, 0.5), "ms", floor);
  Print(name + " max", values.empty() ? 0 : *std::max_element(values.begin(), values.end()), "ms", floor);
}

// The exchange's fixed pauses: after the commands that await no reply (the
// enable frame, the acknowledge), after a poll that got no reply, and the
// quiet kept after such a time-out.  `toggles` enable frames and `timeouts`
// unanswered polls (about 5 s each) are measured.
bool PauseFigures(SimServer& sim, TNotavero& driver, int toggles, int timeouts) {
  const std::size_t mark = sim.TraceMark();
  for (int i = 0; i < toggles; ++i) {
    driver.SetEnabled(false);
    if (!sim.WaitForState(dsDisabled, 30s)) {
      std::fprintf(stderr, "notavero-bench: the device was not disabled\n");
      return false;
    }
    driver.SetEnabled(true);
    if (!sim.WaitForState(dsWaitingForBill, 30s)) {
      std::fprintf(stderr, "notavero-bench: the device was not enabled again\n");
      return false;
    }
  }
  WaitForFrame(sim, kPollFrame, sim.TraceMark());  // the frame after the last enable frame
  const std::vector<TraceEntry> frames = SentFrames(sim, mark);
  const double no_reply_floor = kAckPauseMs;
  PrintSpread(
      "pause after enable frame",
      GapsAfter(frames,
                [](const std::vector<uint8_t>& f) { return f.size() > 3 && f[3] == cmdEnableBillTypes; }),
      no_reply_floor);
  PrintSpread("pause after an Ack",
              GapsAfter(frames, [](const std::vector<uint8_t>& f) { return f == kAckFrame; }),
              no_reply_floor);

  // A poll the device does not hear: the response time-out, the repeat, and
  // the quiet the line must keep before the next poll.
  std::vector<double> repeats;
  std::vector<double> settles;
  for (int attempt = 0; attempt < 3 * timeouts && static_cast<int>(repeats.size()) < timeouts; ++attempt) {
    if (!WaitForFrame(sim, kAckFrame, sim.TraceMark())) {
      std::fprintf(stderr, "notavero-bench: no acknowledge while idle\n");
      return false;
    }
    sim.Command("silent 1");  // the next frame, the poll after the acknowledge's pause, goes unheard
    const std::size_t silent_mark = sim.TraceMark();
    if (!WaitForFrame(sim, kPollFrame, silent_mark) || !WaitForFrame(sim, kAckFrame, silent_mark)) {
      std::fprintf(stderr, "notavero-bench: the driver did not recover from an unanswered poll\n");
      return false;
    }
    const std::vector<TraceEntry> after = SentFrames(sim, silent_mark);
    // Unheard poll, its repeat (answered, but not trusted), the next poll.
    if (after.size() >= 3 && after[0].bytes == kPollFrame && after[1].bytes == kPollFrame &&
        after[2].bytes == kPollFrame) {
      repeats.push_back(Ms(after[1].time - after[0].time).count());
      settles.push_back(Ms(after[2].time - after[1].time).count());
    }
  }
  PrintSpread("repeat of an unanswered poll", repeats,
              std::chrono::duration<double, std::milli>(TTimings{}.response_timeout).count());
  PrintSpread(
      "quiet after a time-out", settles,
      std::chrono::duration<double, std::milli>(TTimings{}.settle_after_timeout).count() + 12 * kByteMs);
  return true;
}

// How long destroying the driver takes while its polling thread waits for a
// reply that never comes (the device hears nothing): the destructor ends the
// wait at once instead of sitting out the response time-out.
bool DestroyFigures(SimServer& sim, int samples) {
  std::vector<double> times;
  for (int i = 0; i < samples; ++i) {
    const std::size_t mark = sim.TraceMark();
    auto driver = std::make_unique<TNotavero>(40, TBillSink{nullptr, &Host, nullptr});
    if (!WaitForFrame(sim, kSecurityFrame, mark)) {
      std::fprintf(stderr, "notavero-bench: a new driver did not set up the device\n");
      return false;
    }
    sim.Command("silent 1000000");
    if (!WaitForFrame(sim, kPollFrame, sim.TraceMark())) {
      std::fprintf(stderr, "notavero-bench: no poll to leave unanswered\n");
      return false;
    }
    // The poll is on its way: the driver waits up to the response time-out.
    const auto start = std::chrono::steady_clock::now();
    driver.reset();
    times.push_back(Ms(std::chrono::steady_clock::now() - start).count());
    sim.Command("clear");
  }
  Print("destroys measured", static_cast<double>(times.size()), "");
  PrintSpread("destroy awaiting a reply", times, 0);
  return true;
}

// Poll period, escrow-to-Stack latency, the exchange's pauses and the time
// a destruction takes, on the in-process simulator.
bool LineFigures(double seconds, int bills, int pauses, int timeouts, int destroys) {
  sim::SimOptions options;  // paced at 9600 baud
  auto sim = SimServer::Start(options);
  ::setenv("NOTAVERO_COM40", sim->SlavePath().c_str(), 1);
  auto driver = std::make_unique<TNotavero>(40, TBillSink{nullptr, &Host, nullptr});
  if (!WaitForFrame(*sim, kSecurityFrame, 0)) {
    std::fprintf(stderr, "notavero-bench: the driver did not set up the device\n");
    return false;
  }
  driver->SetEnabled(true);
  if (!sim->WaitForState(dsWaitingForBill, 30s)) {
    std::fprintf(stderr, "notavero-bench: the device was not enabled\n");
    return false;
  }
  // Idle polling.
  const std::size_t idle_mark = sim->TraceMark();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  std::vector<double> periods;
  {
    std::optional<sim::SimTime> last;
    sim->WaitForTrace(
        [&](const TraceEntry& entry) {
          if (entry.direction == Direction::kReceived && entry.bytes == kPollFrame) {
            if (last) {
              periods.push_back(Ms(entry.time - *last).count());
            }
            last = entry.time;
          }
          return false;
        },
        0ms, idle_mark);
  }
  const double poll_floor = kAckPauseMs + 2 * 6 * kByteMs;
  Print("poll cycles measured", static_cast<double>(periods.size()), "");
  Print("poll period median", Percentile(periods, 0.5), "ms", poll_floor);
  Print("poll period p95", Percentile(periods, 0.95), "ms", poll_floor);

  // Bills: escrow reply end to Stack frame end.
  std::vector<double> latencies;
  for (int i = 0; i < bills; ++i) {
    if (!sim->WaitForState(dsWaitingForBill, 30s)) {
      break;
    }
    const std::size_t mark = sim->TraceMark();
    if (!sim->Insert(static_cast<uint8_t>(2 + i % 6)).ok || !WaitForFrame(*sim, kStackFrame, mark)) {
      std::fprintf(stderr, "notavero-bench: bill %d was not stacked\n", i);
      return false;
    }
    std::optional<sim::SimTime> escrow_end;
    sim->WaitForTrace(
        [&](const TraceEntry& entry) {
          if (entry.direction == Direction::kSent && entry.bytes.size() == 7 && entry.bytes[3] == dsEscrow) {
            escrow_end = entry.time;
          } else if (escrow_end && entry.direction == Direction::kReceived && entry.bytes == kStackFrame) {
            latencies.push_back(Ms(entry.time - *escrow_end).count() + 6 * kByteMs);
            return true;
          }
          return false;
        },
        0ms, mark);
  }
  const double stack_floor = kAckPauseMs + 6 * kByteMs;
  Print("bills measured", static_cast<double>(latencies.size()), "");
  Print("escrow to Stack median", Percentile(latencies, 0.5), "ms", stack_floor);
  Print("escrow to Stack p95", Percentile(latencies, 0.95), "ms", stack_floor);
  if (!sim->WaitForState(dsWaitingForBill, 30s) || !PauseFigures(*sim, *driver, pauses, timeouts)) {
    return false;
  }
  driver.reset();
  return DestroyFigures(*sim, destroys);
}

// System calls of this process per idle poll cycle, by name, counted by
// strace attached to every thread for `seconds`.  False when strace cannot
// run here.
template <typename CountPolls>
bool SystemCallFigures(double seconds, const std::filesystem::path& log_path, const CountPolls& count_polls) {
  const std::string summary = log_path.string() + ".strace";
  std::array<int, 2> err{};
  if (pipe(err.data()) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<std::string> args = {"strace", "-c", "-f", "-p", std::to_string(::getpid()), "-o", summary};
  std::vector<char*> argv;
  for (auto& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t tracer = 0;
  const int spawned = posix_spawnp(&tracer, "strace", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  if (spawned != 0) {
    close(err[0]);
    return false;
  }
  // strace reports on stderr once it holds every thread.
  std::string line;
  bool attached = false;
  char c = 0;
  while (!attached && read(err[0], &c, 1) == 1) {
    line += c;
    if (c == '\n') {
      attached = line.find("attached") != std::string::npos;
      line.clear();
    }
  }
  if (!attached) {
    close(err[0]);
    waitpid(tracer, nullptr, 0);
    return false;
  }
  const std::size_t polls_before = count_polls();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  kill(tracer, SIGINT);  // detached before the log is read: its reading is not counted
  const std::size_t polls = count_polls() - polls_before;
  while (read(err[0], &c, 1) == 1) {
  }
  close(err[0]);
  int status = 0;
  waitpid(tracer, &status, 0);

  // "% time  seconds  usecs/call  calls  [errors]  syscall" rows.
  std::map<std::string, double> calls;
  double total = 0;
  std::ifstream file(summary);
  for (std::string row; std::getline(file, row);) {
    std::istringstream fields(row);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) {
      words.push_back(word);
    }
    if (words.size() < 5 || words.back() == "total" || words.back() == "syscall" ||
        words[0].find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    const double count = std::atof(words[3].c_str());
    calls[words.back()] += count;
    total += count;
  }
  std::filesystem::remove(summary);
  if (polls == 0) {
    return false;
  }
  const auto per_cycle = [polls](double count) { return count / static_cast<double>(polls); };
  Print("system calls per poll cycle", per_cycle(total), "");
  std::vector<std::pair<double, std::string>> ranked;
  for (const auto& [name, count] : calls) {
    ranked.emplace_back(count, name);
  }
  std::sort(ranked.rbegin(), ranked.rend());
  for (const auto& [count, name] : ranked) {
    if (per_cycle(count) >= 0.05) {
      Print("system calls per cycle: " + name, per_cycle(count), "");
    }
  }
  return true;
}

// CPU, memory and allocations with the simulator in its own process.
bool ProcessFigures(double seconds, const std::filesystem::path& log_path) {
  const std::string sim_path =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "notavero-sim");
  std::array<int, 2> out{};
  std::array<int, 2> in{};
  if (pipe(out.data()) != 0 || pipe(in.data()) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  std::vector<std::string> args = {sim_path, "--start-disabled"};
  std::vector<char*> argv;
  for (auto& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, sim_path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  if (spawned != 0) {
    std::fprintf(stderr, "notavero-bench: cannot start %s\n", sim_path.c_str());
    return false;
  }
  std::string slave;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') {
    slave += c;
  }
  ::setenv("NOTAVERO_COM41", slave.c_str(), 1);

  const auto count_polls = [&log_path] {
    std::ifstream file(log_path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t count = 0;
    for (std::size_t at = content.find("Send: 02 03 06 33 DA 81"); at != std::string::npos;
         at = content.find("Send: 02 03 06 33 DA 81", at + 1)) {
      ++count;
    }
    return count;
  };

  auto driver = std::make_unique<TNotavero>(41, TBillSink{nullptr, &Host, nullptr});
  std::this_thread::sleep_for(3s);  // power-up, table, security: then idle polling
  if (!SystemCallFigures(seconds, log_path, count_polls)) {
    std::fprintf(stderr, "notavero-bench: strace is missing or cannot attach; no system call figures\n");
  }
  void* warm[4];
  backtrace(warm, 4);  // loads what backtrace needs before counting starts
  const std::size_t polls_before = count_polls();
  rusage usage_before{};
  getrusage(RUSAGE_SELF, &usage_before);
  const auto wall_before = std::chrono::steady_clock::now();
  g_allocations.store(0);
  g_samples.store(0);
  g_counting.store(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  g_counting.store(false);
  const uint64_t allocations = g_allocations.load();
  const auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  rusage usage_after{};
  getrusage(RUSAGE_SELF, &usage_after);
  const std::size_t polls = count_polls() - polls_before;
  // Where the allocations come from, in a phase of its own.
  g_samples.store(0);
  g_sampling.store(true);
  g_counting.store(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 5.0)));
  g_counting.store(false);
  g_sampling.store(false);
  driver.reset();
  const ssize_t quit = write(in[1], "quit\n", 5);
  (void)quit;
  close(in[1]);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);

  const auto cpu = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
  };
  Print("idle poll cycles", static_cast<double>(polls), "");
  Print("CPU per second of wall time", (cpu(usage_after) - cpu(usage_before)) / wall, "ms/s");
  Print("wake-ups per poll cycle",
        polls > 0
            ? static_cast<double>(usage_after.ru_nvcsw - usage_before.ru_nvcsw) / static_cast<double>(polls)
            : 0,
        "");
  Print("peak resident memory", static_cast<double>(usage_after.ru_maxrss) / 1024.0, "MiB");
  Print("heap allocations per poll cycle",
        polls > 0 ? static_cast<double>(allocations) / static_cast<double>(polls) : 0, "");

  // Where they come from: the innermost function of the driver's own code,
  // named by addr2line from the frames' offsets in this executable.
  const std::size_t samples = std::min(g_samples.load(), kMaxSamples);
  std::vector<std::vector<std::string>> offsets(samples);
  std::vector<std::string> unique;  // each offset once: the command line stays short
  for (std::size_t s = 0; s < samples; ++s) {
    char** names = backtrace_symbols(g_sample_frames[s].data(), g_sample_depth[s]);
    for (int f = 1; names != nullptr && f < g_sample_depth[s]; ++f) {
      const std::string text = names[f];
      const auto at = text.find("(+0x");
      if (at != std::string::npos && text.find("notavero-bench") != std::string::npos) {
        // One before the return address: the call itself.
        const std::string offset = text.substr(at + 2, text.find(')', at) - at - 2);
        const unsigned long value = std::stoul(offset, nullptr, 16) - 1;
        std::array<char, 32> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%lx", value);
        offsets[s].emplace_back(hex.data());
        unique.emplace_back(hex.data());
      }
    }
    std::free(names);  // NOLINT
  }
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  std::map<std::string, std::string> names;
  if (!unique.empty()) {
    std::string command = "addr2line -f -C -e /proc/" + std::to_string(::getpid()) + "/exe";
    for (const auto& offset : unique) {
      command += " " + offset;
    }
    if (FILE* pipe = popen(command.c_str(), "r")) {
      std::array<char, 4096> line{};
      std::vector<std::string> lines;
      while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
        std::string text = line.data();
        text.erase(text.find_last_not_of("\r\n") + 1);
        lines.push_back(text);
      }
      pclose(pipe);
      for (std::size_t k = 0; k < unique.size() && 2 * k < lines.size(); ++k) {
        names[unique[k]] = lines[2 * k];
      }
    }
  }
  std::map<std::string, uint64_t> places;
  for (std::size_t s = 0; s < samples; ++s) {
    std::string place = "(outside the driver)";
    for (const auto& offset : offsets[s]) {
      const std::string& name = names[offset];
      if (name.find("notavero::") != std::string::npos &&
          name.find("(anonymous namespace)") == std::string::npos) {
        place = name.substr(0, name.find('('));
        break;
      }
    }
    ++places[place];
  }
  for (const auto& [place, count] : places) {
    const double share = samples > 0 ? static_cast<double>(count) / static_cast<double>(samples) : 0;
    std::printf("  of which from %s: %.2f\n", place.c_str(),
                polls > 0 ? share * static_cast<double>(allocations) / static_cast<double>(polls) : 0.0);
  }
  return true;
}

void WriteJson(const std::string& path) {
  std::ofstream file(path);
  file << "{\n";
  for (std::size_t i = 0; i < g_figures.size(); ++i) {
    const Figure& f = g_figures[i];
    file << "  \"" << f.name << "\": {\"value\": " << f.value << ", \"unit\": \"" << f.unit << "\"";
    if (f.floor > 0) {
      file << ", \"floor\": " << f.floor << ", \"ratio\": " << f.value / f.floor;
    }
    file << "}" << (i + 1 < g_figures.size() ? "," : "") << "\n";
  }
  file << "}\n";
}

}  // namespace
}  // namespace notavero

int main(int argc, char** argv) {
  double seconds = 20;
  int bills = 20;
  int pauses = 10;   // enable frames
  int timeouts = 3;  // unanswered polls, about 5 s each
  int destroys = 10;
  std::string json = "bench.json";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      seconds = 2;
      bills = 2;
      pauses = 2;
      timeouts = 1;
      destroys = 2;
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--bills" && i + 1 < argc) {
      bills = std::atoi(argv[++i]);
    } else if (arg == "--json" && i + 1 < argc) {
      json = argv[++i];
    } else {
      std::fprintf(stderr, "usage: notavero-bench [--seconds S] [--bills N] [--json FILE] [--quick]\n");
      return 2;
    }
  }
  const auto dir = std::filesystem::temp_directory_path() / ("notavero-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  const auto log_path = dir / "Notavero.log";
  ::setenv("NOTAVERO_LOG", log_path.c_str(), 1);
  const bool ok = notavero::LineFigures(seconds, bills, pauses, timeouts, destroys) &&
                  notavero::ProcessFigures(seconds, log_path);
  std::filesystem::remove_all(dir);
  if (!ok) {
    return 1;
  }
  notavero::WriteJson(json);
  std::printf("figures written to %s\n", json.c_str());
  return 0;
}
