// notavero-ledger-bench: how many journal rows a second one PostgreSQL
// ledger takes from many kiosks at once.  Each simulated kiosk is a journal
// of synthetic bills (escrow, decision, stacked: the rows a real bill
// leaves) and the service's own shipper with its own connection, as a fleet
// of notavero-serve would ship them.
//
//   notavero-ledger-bench CONNINFO [KIOSKS [ROWS [BATCH [KIOSK_ID]]]]
//
// The ledger must have its schema (notavero-serve ledger init); the bench
// uses kiosk ids bench-<run>-<n>, new each run, or KIOSK_ID for a single
// kiosk (a role bound to it in kiosk_roles ships under row level security,
// as a kiosk does; the owner is not subject to it).  bench/ledger-bench
// starts a private PostgreSQL and runs it with several sizes.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "service/journal.h"
#include "service/ledger.h"

namespace {

using notavero::service::Journal;
using notavero::service::LedgerShipper;

// A journal of rows bills' rows (two a bill), linked as the journal links
// them (the ledger checks each batch's chain), written in one transaction;
// returns the journal's identity.
std::string FillJournal(const std::string& path, int rows) {
  std::string identity;
  {
    const Journal create(path);  // the journal's own schema and identity
    identity = create.Identity();
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO events(id, time_ms, device, kind, amount, code, decision, detail, hash) "
                     "VALUES(?, ?, 'v1', ?, 1000000, 4, ?, ?, ?)",
                     -1, &insert, nullptr);
  const int64_t start = notavero::NowMs() - rows * 1000;
  std::string link(64, '0');
  for (int i = 0; i < rows; ++i) {
    const bool escrow = i % 2 == 0;
    const int64_t id = i + 1;
    const int64_t time_ms = start + i * 1000;
    const char* kind = escrow ? "escrow" : "stacked";
    link = notavero::service::ChainLink(link, id, time_ms, "v1", kind, 1000000, 4, escrow ? "stack" : "",
                                        escrow ? "client" : "");
    sqlite3_bind_int64(insert, 1, id);
    sqlite3_bind_int64(insert, 2, time_ms);
    sqlite3_bind_text(insert, 3, kind, -1, SQLITE_STATIC);
    if (escrow) {
      sqlite3_bind_text(insert, 4, "stack", -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 5, "client", -1, SQLITE_STATIC);
    } else {
      sqlite3_bind_null(insert, 4);
      sqlite3_bind_null(insert, 5);
    }
    sqlite3_bind_text(insert, 6, link.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return identity;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: notavero-ledger-bench CONNINFO [KIOSKS [ROWS [BATCH [KIOSK_ID]]]]\n";
    return 2;
  }
  const int kiosks = argc > 2 ? std::atoi(argv[2]) : 20;
  const int rows = argc > 3 ? std::atoi(argv[3]) : 5000;
  const int batch = argc > 4 ? std::atoi(argv[4]) : 500;
  const std::string kiosk_id = argc > 5 ? argv[5] : "";
  if (!kiosk_id.empty() && kiosks != 1) {
    std::cerr << "notavero-ledger-bench: KIOSK_ID is for one kiosk\n";
    return 2;
  }
  try {
    const std::string conninfo = notavero::service::LedgerConninfo(argv[1]);
    const auto dir =
        std::filesystem::temp_directory_path() / ("notavero-ledger-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::unique_ptr<LedgerShipper>> shippers;
    for (int k = 0; k < kiosks; ++k) {
      const std::string journal = (dir / ("journal-" + std::to_string(k) + ".sqlite")).string();
      LedgerShipper::Options options;
      options.identity = FillJournal(journal, rows);
      options.conninfo = conninfo;
      options.kiosk =
          kiosk_id.empty() ? "bench-" + std::to_string(::getpid()) + "-" + std::to_string(k) : kiosk_id;
      options.journal = journal;
      options.batch = batch;
      options.idle_poll = std::chrono::milliseconds(50);
      shippers.push_back(std::make_unique<LedgerShipper>(options));
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto& shipper : shippers) {
      shipper->Start();
    }
    for (;;) {
      bool done = true;
      std::string error;
      for (const auto& shipper : shippers) {
        const auto status = shipper->Status();
        done = done && status.confirmed_id == rows;
        error = status.last_error.empty() ? error : status.last_error;
      }
      if (done) {
        break;
      }
      if (!error.empty()) {
        std::cerr << "notavero-ledger-bench: " << error << "\n";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a bench's own progress check
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& shipper : shippers) {
      shipper->Stop();
    }
    std::filesystem::remove_all(dir);
    const double total = static_cast<double>(kiosks) * rows;
    std::printf("kiosks=%d rows_per_kiosk=%d batch=%d rows=%.0f seconds=%.2f rows_per_second=%.0f\n", kiosks,
                rows, batch, total, seconds, total / seconds);
  } catch (const std::exception& error) {
    std::cerr << "notavero-ledger-bench: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
