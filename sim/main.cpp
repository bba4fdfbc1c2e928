// notavero-sim: a validator on a pseudo-terminal or a serial line, for
// developing and testing hosts with no device attached.
//
// Threads: the main thread waits (poll) on stdin, on SIGINT/SIGTERM through
// a signalfd and on a quit pipe; a runner thread executes stdin's command
// lines in order and another one the --script file, so that `sleep` and
// `wait-state` never keep the program from reacting to a signal.  The line
// server has its own thread (SimServer).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/notavero_version.h"
#include "protocol/codes.h"
#include "sim/sim_server.h"

namespace {

using notavero::sim::SimOptions;
using notavero::sim::SimServer;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr std::chrono::milliseconds kDefaultWaitState{30000};

constexpr std::string_view kUsage = R"(usage: notavero-sim [OPTIONS]

A banknote validator on a serial line.  Without --device it creates a
pseudo-terminal and prints the path a driver opens (/dev/pts/N) as the first
line on stdout.  Commands come one a line on stdin and from --script.

Options:
  --device PATH      serve a real serial device (null-modem cable to the host)
  --link PATH        keep a symbolic link PATH to the pseudo-terminal: made at
                     start, re-pointed at each 'replug', absent while unplugged,
                     removed at exit
  --script FILE      run the commands of FILE (besides stdin), also
                     'sleep MS' and 'wait-state HEX [MS]'
  --trace FILE       write every frame: seconds since start, RX/TX, hex bytes
  --fast             no 9600-baud pacing (delays and split pauses still apply)
  --table FILE       bill table: one line per entry from type 0, 'MULT COUNTRY EXP'
                     (e.g. '5 RUS 2' = 500) or '-' for an empty entry
  --power-up HEX     start in 10 (default), 11 or 12 (a bill in the head)
  --start-disabled   start in 19 (disabled), as after a reset
  --exit-on-eof      exit when stdin ends (default: keep serving until
                     'quit', SIGINT or SIGTERM)
  --version          print the release version
  --help             print this text

)";

struct Shared {
  SimServer* server = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::deque<std::optional<std::string>> stdin_lines;  // nullopt: end of stdin
  bool exit_on_eof = false;
  int quit_write = -1;
  std::mutex print_mutex;

  void Print(std::FILE* stream, const std::string& text) {
    const std::lock_guard lock(print_mutex);
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
  }
  void Quit() {
    const uint8_t byte = 1;
    [[maybe_unused]] const auto written = write(quit_write, &byte, 1);
  }
  // Sleeps, or less when the program stops; false when it stops.
  bool Sleep(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, time, [this] { return stopping; });
  }
};

bool ParseUnsigned(std::string_view word, int base, unsigned& out) {
  if (base == 16 && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
  }
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), out, base);
  return !word.empty() && error == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while ((pos = line.find_first_not_of(" \t\r", pos)) != std::string_view::npos) {
    const std::size_t end = std::min(line.size(), line.find_first_of(" \t\r", pos));
    words.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

// Runs one line; false when the caller is to stop reading lines (quit, a
// failed wait-state, the program stopping).
bool RunLine(Shared& shared, const std::string& line, std::string_view origin) {
  const auto words = Words(std::string_view(line).substr(0, line.find('#')));
  if (words.empty()) {
    return true;
  }
  if (words[0] == "quit") {
    shared.Quit();
    return false;
  }
  unsigned value = 0;
  unsigned timeout = kDefaultWaitState.count();
  if (words[0] == "sleep") {
    if (words.size() != 2 || !ParseUnsigned(words[1], 10, value)) {
      shared.Print(stderr, std::string(origin) + "sleep: usage: sleep MS");
      return true;
    }
    return shared.Sleep(std::chrono::milliseconds(value));
  }
  if (words[0] == "wait-state") {
    if (words.size() < 2 || words.size() > 3 || !ParseUnsigned(words[1], 16, value) || value > 0xFF ||
        (words.size() == 3 && !ParseUnsigned(words[2], 10, timeout))) {
      shared.Print(stderr, std::string(origin) + "wait-state: usage: wait-state HEX [MS]");
      return true;
    }
    if (shared.server->WaitForState(static_cast<uint8_t>(value), std::chrono::milliseconds(timeout))) {
      return true;
    }
    if (!shared.Sleep(std::chrono::milliseconds(0))) {
      return false;  // stopping
    }
    shared.Print(stderr, std::string(origin) + "wait-state " + std::string(words[1]) +
                             ": not reached within " + std::to_string(timeout) +
                             " ms; the rest of this input is skipped");
    return false;
  }
  const auto result = shared.server->Command(line);
  if (!result.text.empty()) {
    shared.Print(result.ok ? stdout : stderr, result.ok ? result.text : std::string(origin) + result.text);
  }
  return true;
}

void RunStdinLines(Shared& shared) {
  bool running = true;
  for (;;) {
    std::optional<std::string> line;
    {
      std::unique_lock lock(shared.mutex);
      shared.wake.wait(lock, [&] { return shared.stopping || !shared.stdin_lines.empty(); });
      if (shared.stopping) {
        return;
      }
      line = std::move(shared.stdin_lines.front());
      shared.stdin_lines.pop_front();
    }
    if (!line) {
      if (shared.exit_on_eof) {
        shared.Quit();
      }
      return;
    }
    if (running) {
      running = RunLine(shared, *line, "notavero-sim: ");
    }
  }
}

void RunScript(Shared& shared, const std::string& path, std::vector<std::string> lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!RunLine(shared, lines[i], "notavero-sim: " + path + ":" + std::to_string(i + 1) + ": ")) {
      return;
    }
  }
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "notavero-sim: %s (try 'notavero-sim --help')\n", message.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string script_path;
  bool exit_on_eof = false;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::printf("%.*s%.*s\n", static_cast<int>(kUsage.size()), kUsage.data(),
                  static_cast<int>(notavero::sim::CommandHelp().size()), notavero::sim::CommandHelp().data());
      return 0;
    }
    if (arg == "--version") {
      std::puts("notavero-sim " NV_VERSION_STRING);
      return 0;
    }
    if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--start-disabled") {
      options.start_disabled = true;
    } else if (arg == "--exit-on-eof") {
      exit_on_eof = true;
    } else if (arg == "--device" || arg == "--link" || arg == "--script" || arg == "--trace" ||
               arg == "--table" || arg == "--power-up") {
      if (!has_value) {
        return Usage(arg + " needs a value");
      }
      const std::string& value = args[++i];
      unsigned state = 0;
      if (arg == "--device") {
        options.device = value;
      } else if (arg == "--link") {
        options.link = value;
      } else if (arg == "--script") {
        script_path = value;
      } else if (arg == "--trace") {
        options.trace_file = value;
      } else if (arg == "--table") {
        options.bill_table_file = value;
      } else if (!ParseUnsigned(value, 16, state) || state < notavero::dsPowerUp ||
                 state > notavero::dsPowerUpBillNoReturn) {
        return Usage("--power-up takes 10, 11 or 12");
      } else {
        options.power_up_state = static_cast<uint8_t>(state);
      }
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }

  if (!options.link.empty() && !options.device.empty()) {
    return Usage("--link names a pseudo-terminal; it does not go with --device");
  }

  std::vector<std::string> script;
  if (!script_path.empty()) {
    std::ifstream file(script_path);
    if (!file) {
      std::fprintf(stderr, "notavero-sim: cannot read the script %s\n", script_path.c_str());
      return kExitFailure;
    }
    for (std::string line; std::getline(file, line);) {
      script.push_back(line);
    }
  }

  // SIGINT and SIGTERM arrive through a signalfd; they are blocked before any
  // thread starts so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  std::array<int, 2> quit_pipe{};
  if (signal_fd < 0 || pipe(quit_pipe.data()) != 0) {
    std::perror("notavero-sim");
    return kExitFailure;
  }

  // A line error ends the server's thread; the program then ends with it.
  std::mutex error_mutex;
  std::string line_error;
  options.on_error = [&](const std::string& error) {
    {
      const std::lock_guard lock(error_mutex);
      line_error = error;
    }
    const uint8_t byte = 1;
    [[maybe_unused]] const auto written = write(quit_pipe[1], &byte, 1);
  };

  std::unique_ptr<SimServer> server;
  try {
    server = SimServer::Start(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "notavero-sim: %s\n", error.what());
    return kExitFailure;
  }
  std::printf("%s\n", server->SlavePath().c_str());
  std::fflush(stdout);

  Shared shared;
  shared.server = server.get();
  shared.exit_on_eof = exit_on_eof;
  shared.quit_write = quit_pipe[1];
  std::thread stdin_runner([&shared] { RunStdinLines(shared); });
  std::thread script_runner;
  if (!script_path.empty()) {
    script_runner = std::thread([&shared, &script_path, &script] { RunScript(shared, script_path, script); });
  }

  std::string pending;
  bool stdin_open = true;
  for (;;) {
    std::array<pollfd, 3> fds{};
    fds[0] = {signal_fd, POLLIN, 0};
    fds[1] = {quit_pipe[0], POLLIN, 0};
    fds[2] = {stdin_open ? STDIN_FILENO : -1, POLLIN, 0};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      continue;  // EINTR
    }
    if (fds[0].revents != 0 || fds[1].revents != 0) {
      break;
    }
    if (fds[2].revents != 0) {
      std::array<char, 4096> buffer{};
      const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
      const std::lock_guard lock(shared.mutex);
      if (count > 0) {
        pending.append(buffer.data(), static_cast<std::size_t>(count));
        for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
          shared.stdin_lines.emplace_back(pending.substr(0, newline));
          pending.erase(0, newline + 1);
        }
      } else {
        if (!pending.empty()) {
          shared.stdin_lines.emplace_back(pending);
        }
        shared.stdin_lines.emplace_back(std::nullopt);
        stdin_open = false;
      }
      shared.wake.notify_all();
    }
  }

  {
    const std::lock_guard lock(shared.mutex);
    shared.stopping = true;
  }
  shared.wake.notify_all();
  server->Stop();  // also ends a wait-state in progress
  stdin_runner.join();
  if (script_runner.joinable()) {
    script_runner.join();
  }
  server.reset();
  close(signal_fd);
  close(quit_pipe[0]);
  close(quit_pipe[1]);
  const std::lock_guard lock(error_mutex);
  if (!line_error.empty()) {
    std::fprintf(stderr, "notavero-sim: %s\n", line_error.c_str());
    return kExitFailure;
  }
  return 0;
}
