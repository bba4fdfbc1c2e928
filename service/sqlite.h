// The service's prepared SQLite statements: one that finalizes itself,
// binds, steps and reads columns, for the journal, the cassette and the
// ledger's reader of the journal.  (Plain SQL without rows, such as BEGIN,
// goes through sqlite3_exec.)
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace notavero::service::sqlite {

// SQLite's refusal, with its message, as Statement throws it by default.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a caller makes of SQLite's refusal (its message): it throws an error
// of its own, named as it likes.  It must not return.
using Refuse = void (*)(const std::string& message);

[[noreturn]] void ThrowError(const std::string& message);

class Statement {
 public:
  // Prepares `sql`; calls `refuse` with the database's message when SQLite
  // refuses it, and so on a failed step.
  Statement(sqlite3* db, const char* sql, Refuse refuse = &ThrowError);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  // Runs one step; true when it gave a row, false when the statement is done.
  bool Step();
  [[nodiscard]] int64_t Int(int column) const;
  // The column's bytes; empty for NULL.
  [[nodiscard]] std::string Text(int column) const;
  [[nodiscard]] bool IsNull(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  Refuse refuse_;
};

}  // namespace notavero::service::sqlite
