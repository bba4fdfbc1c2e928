// The simulated validator on a line: a pseudo-terminal that the server
// creates (the driver opens its slave side, SlavePath()) or a real serial
// device (a null-modem cable to the host).  One thread of the server's own
// reads what the driver sends, runs the device model and writes its replies,
// paced as a 9600-baud line would carry them unless `fast` is set.
//
// The server keeps a descriptor of the pseudo-terminal's slave side open for
// its whole life.  Without it the master would see a hang-up each time the
// driver closes the port, and a driver that opens and closes the port several
// times would find the line dead.  Bytes written while no driver has the port
// open wait in the slave's input queue; the driver's purge discards them.
//
// The commands `unplug` and `replug` pull and plug the pseudo-terminal as a
// USB serial adapter is pulled and plugged: unplug closes the master (the
// driver's side gets a hang-up, then EIO, and the /dev/pts node goes away);
// replug creates a new pseudo-terminal.  The validator behind the adapter
// keeps its power meanwhile: state, enabled types, a bill in escrow and the
// counters stay, time goes on (an escrowed bill still comes back after its
// time-out), and only a reply on its way is lost.  With `link` a symbolic
// link names the line as udev names an adapter in /dev/serial/by-id: it
// points at the pseudo-terminal while the line is plugged, is gone while it
// is unplugged, and is removed when the server ends.
//
// All methods are thread-safe.  Stop() (also run by the destructor) ends the
// thread at once and joins it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/bill_table.h"
#include "sim/commands.h"
#include "sim/device_model.h"

namespace notavero::sim {

struct SimOptions {
  std::string device;                  // serial device to serve; empty: create a pseudo-terminal
  bool fast = false;                   // no line pacing (explicit delays and pauses still apply)
  uint8_t power_up_state = dsPowerUp;  // 0x10, or 0x11 / 0x12: a bill in the head
  bool start_disabled = false;         // start in 0x19, as after a reset
  std::string bill_table_file;         // empty: bill_table
  // A symbolic link to the pseudo-terminal, kept pointing at the current one
  // (see above); empty: none.  Not with `device`.  An existing file there
  // that is not a symbolic link is never replaced.
  std::string link;
  BillTable bill_table = DefaultBillTable();
  // Empty: no trace file.  Each line is `SECONDS RX|TX HEX` for a frame, or
  // `SECONDS -- TEXT` for a command run on the device (`cmd power-cycle 11`)
  // and for the notes of Note(); sim/trace_file.h reads it back.
  std::string trace_file;
  std::size_t trace_limit = 100000;  // newest trace entries kept in memory
  // Called once, on the server's thread, when a line error ends the thread
  // (a serial adapter unplugged, for instance); Error() says the same.
  std::function<void(const std::string&)> on_error;
};

using TracePredicate = std::function<bool(const TraceEntry&)>;

class SimServer {
 public:
  // Opens the line and starts the thread.  Throws std::runtime_error with a
  // message for people when the line, the table file or the trace file
  // cannot be opened.
  static std::unique_ptr<SimServer> Start(const SimOptions& options);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // The path the driver opens: /dev/pts/N (the current one, "" while
  // unplugged), or the device path given.
  [[nodiscard]] std::string SlavePath() const;

  // Runs one command line, the same as the program's stdin commands (see
  // CommandHelp()), except the program-only sleep, wait-state and quit.
  CommandResult Command(std::string_view line);
  CommandResult Insert(uint8_t bill_type) { return Command("insert " + std::to_string(bill_type)); }
  CommandResult PowerCycle() { return Command("power-cycle"); }
  // Pull and plug the pseudo-terminal (see above).  Replug while plugged
  // pulls and plugs at once.  Both wait until the server's thread has done it.
  CommandResult Unplug() { return Command("unplug"); }
  CommandResult Replug() { return Command("replug"); }
  // Writes a line of text into the trace file among the frames, with the
  // time it was called (nothing without a trace file): what the other side
  // did, for whoever reads the trace later.
  void Note(std::string_view text);

  [[nodiscard]] SimStatus Status() const;
  [[nodiscard]] std::vector<TraceEntry> Trace() const;
  // The number of entries traced so far; pass it to WaitForTrace to look
  // only at what comes after.
  [[nodiscard]] std::size_t TraceMark() const;

  // True once the device reports `state`: now, or at any moment after the
  // call, even a state that passed again before the caller woke.  False on
  // time-out or when the server stops.
  bool WaitForState(uint8_t state, std::chrono::milliseconds timeout);
  // True once a trace entry with number >= since satisfies the predicate.
  bool WaitForTrace(const TracePredicate& predicate, std::chrono::milliseconds timeout,
                    std::size_t since = 0);

  void Stop();
  // Why the thread ended by itself (a line error), or "".
  [[nodiscard]] std::string Error() const;

 private:
  // A line of the trace file still to be written: a frame, or a note when
  // `note` is not empty.
  struct FileLine {
    TraceEntry entry;
    std::string note;
  };
  struct Outgoing {
    SimTime start;
    std::vector<uint8_t> bytes;
    std::size_t sent = 0;
    bool ends_reply = false;
  };

  enum class LineRequest : uint8_t { kNone, kUnplug, kReplug };

  explicit SimServer(const SimOptions& options);
  void OpenLine(const std::string& device);
  // On the server's thread (or before it starts): the pseudo-terminal.
  void OpenPseudoTerminal();
  void CloseLine();
  // Runs an unplug or replug asked for by Command().
  void ServeLineRequest();
  CommandResult LineCommand(LineRequest request, std::string_view line);
  [[nodiscard]] SimStatus StatusLocked() const;
  void Run();
  void Wake() const;
  // With mutex_ held.
  void NoteStateLocked();
  void AddTraceLocked(TraceEntry entry);
  // Writes the bytes whose time has come; true when the line took no more.
  bool WriteDueLocked(SimTime now);
  void DropOutputLocked();
  // Without mutex_ held.
  // Reads and answers what has come; false when the line has gone.
  bool ReadLine(bool hangup);
  void WriteTraceFile(const std::vector<FileLine>& lines);
  [[nodiscard]] SimClock::duration ByteTime() const;

  const bool fast_;
  const SimTime started_;
  const bool pseudo_terminal_;
  const std::string link_;
  std::string path_;    // written by the server's thread under mutex_, "" while unplugged
  int line_fd_ = -1;    // the line's descriptors belong to the server's thread
  int slave_fd_ = -1;   // held open so the master never sees a hang-up
  int wake_read_ = -1;  // the thread polls this end of the wake-up pipe
  int wake_write_ = -1;
  std::FILE* trace_file_ = nullptr;
  const std::size_t trace_limit_;
  const std::function<void(const std::string&)> on_error_;

  // Everything below up to stop_mutex_ is guarded by mutex_.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  DeviceModel model_;
  std::deque<TraceEntry> trace_;
  std::size_t trace_total_ = 0;
  std::deque<std::pair<uint64_t, uint8_t>> states_;  // recent state changes: number, state
  uint64_t state_serial_ = 0;
  uint8_t last_state_ = 0;
  bool stop_requested_ = false;
  bool stopped_ = false;
  std::string error_;
  LineRequest line_request_ = LineRequest::kNone;
  uint64_t line_requests_done_ = 0;
  CommandResult line_result_;
  uint64_t replugs_ = 0;
  std::vector<FileLine> to_file_;  // lines the thread has still to write to the trace file
  std::deque<Outgoing> output_;
  std::vector<uint8_t> sending_;  // bytes of the reply on the line so far
  SimTime rx_wire_end_{};         // when the bytes received so far would have arrived on a real line
  SimTime tx_free_{};             // when the line is free for the next reply

  std::mutex stop_mutex_;
  std::thread thread_;
};

}  // namespace notavero::sim
