// The operator's ledger: the kiosk's money journal shipped, row by row and
// in order, to a central PostgreSQL database (service/ledger/schema-*.sql).
//
// One thread beside the driver and the clients reads the journal through a
// connection of its own (WAL: it never waits for a bill's commit, nor a bill
// for it), takes the rows after the ledger's cursor for this kiosk, and in
// one transaction inserts them (a row already there is ignored) and moves
// the cursor from where it was to the batch's last id.  The central cursor
// decides what is shipped: a kill at any moment ships nothing twice and
// skips nothing.  The confirmed id is also kept in a local file, for the
// figures while the ledger cannot be reached.  The journal deletes no row.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/messages.h"

struct sqlite3;

namespace notavero::service {

// The connection string as the service uses it: refuses a password in it
// (it would show in the process list and the unit file: libpq's password
// file, ~/.pgpass or PGPASSFILE with mode 0600, holds it); adds
// sslmode=verify-full for a host that is not this machine when neither the
// string nor PGSSLMODE names a mode, a connect time-out, and a time-out for
// data the server does not acknowledge (a network that went away in the
// middle of a batch ends the batch, not the shipping).  Throws
// std::invalid_argument saying what was refused and why.
std::string LedgerConninfo(const std::string& conninfo);

struct LedgerStatus {
  bool enabled = false;
  std::string kiosk;
  bool connected = false;
  int64_t confirmed_id = 0;       // the ledger holds every row up to this id
  int64_t rows_waiting = 0;       // journal rows after it
  int64_t oldest_waiting_ms = 0;  // time of the first of them, 0 when none waits
  int64_t last_success_ms = 0;    // last batch committed (or cursor read), 0 never
  std::string last_error;         // the last failure (libpq's message), empty after a success
  uint64_t rows_shipped = 0;      // rows committed by this run
};

std::string LedgerStatusJson(const LedgerStatus& status, int64_t now_ms);
std::string LedgerMetrics(const LedgerStatus& status, int64_t now_ms);

class LedgerShipper {
 public:
  struct Options {
    std::string conninfo;  // as LedgerConninfo gives it
    std::string kiosk;
    std::string journal;      // the journal's path
    std::string cursor_file;  // the confirmed id, kept locally
    int batch = 500;          // rows a transaction
    std::chrono::milliseconds idle_poll{1000};
    std::chrono::milliseconds max_backoff{10000};
  };

  explicit LedgerShipper(Options options);
  ~LedgerShipper();
  LedgerShipper(const LedgerShipper&) = delete;
  LedgerShipper& operator=(const LedgerShipper&) = delete;

  void Start();
  // Ends a query in flight (its socket is shut down: no exchange with a
  // server that may be unreachable) and joins the thread.
  void Stop();
  [[nodiscard]] LedgerStatus Status() const;

 private:
  struct Row {
    int64_t id = 0;
    int64_t time_ms = 0;
    std::string device;
    std::string kind;
    int64_t amount = 0;
    int64_t code = 0;
    std::string decision;  // empty: NULL
    std::string detail;
  };

  void Run();
  bool Connect();
  void Disconnect();
  // Reads the next rows to ship and the backlog's figures; false when the
  // journal cannot be read.
  bool ReadBatch(std::vector<Row>& rows);
  int64_t LastJournalId();  // -1 when the journal cannot say
  // One transaction; false on failure (the error is kept).
  bool Ship(const std::vector<Row>& rows);
  bool InsertRows(const std::vector<Row>& rows);
  PGresult* Exec(const std::string& sql, const std::vector<std::string>& values);
  void Failed(const std::string& error);
  void StoreLocalCursor(int64_t id);
  int64_t LoadLocalCursor() const;
  bool Wait(std::chrono::milliseconds pause);

  const Options options_;
  sqlite3* journal_ = nullptr;
  PGconn* connection_ = nullptr;  // the thread's own
  int64_t central_ = -1;          // the central cursor as last read, -1 unknown

  std::mutex socket_mutex_;
  int socket_ = -1;  // the connection's, for Stop

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  LedgerStatus status_;
  std::thread thread_;
};

// notavero-serve ledger init|report ... (args after "ledger"); returns the
// exit status, printing what it did or why it could not.
int LedgerCommand(const std::vector<std::string>& args);

}  // namespace notavero::service
