// The money journal: every bill event in an SQLite database, with an
// increasing id that never repeats.  WAL with synchronous=FULL: an event is
// on disk when Append returns, so a stacked bill is durable before any
// client hears of it, and a kill -9 at any moment loses nothing committed.
// All methods are thread-safe (one connection behind a mutex).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "service/messages.h"

struct sqlite3;

namespace notavero::service {

class Journal {
 public:
  // Opens or creates the database; throws std::runtime_error on failure.
  explicit Journal(const std::string& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Writes the event (its id and acked are ignored) and returns its id.
  int64_t Append(const BillEvent& event);
  // Records an escrow's decision and who made it.
  void SetDecision(int64_t escrow_id, const std::string& decision, const std::string& by);

  enum class AckResult { kAcked, kAlreadyAcked, kNotStacked };
  AckResult Ack(int64_t id);

  // Events with an id above since, and stacked events not acknowledged with
  // an id up to since, in id order; at most limit of them.
  std::vector<BillEvent> Since(int64_t since, int limit);
  int64_t LastId();

 private:
  void Exec(const char* sql);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace notavero::service
