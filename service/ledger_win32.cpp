// The ledger on Windows: shipping talks to PostgreSQL through libpq, which
// the Windows build does not carry, so --ledger and the ledger command are
// refused, saying why.  The status and metrics read as on Linux without a
// ledger.
#include <iostream>
#include <stdexcept>

#include "service/ledger.h"

namespace notavero::service {

namespace {

constexpr const char* kNotHere =
    "shipping to the central ledger uses libpq and runs on Linux only; the Windows build keeps the journal, "
    "which `notavero-serve journal` reads and verifies, and a Linux machine can ship a copy of it";

}  // namespace

std::string LedgerConninfo(const std::string& /*conninfo*/) {
  throw std::invalid_argument(std::string("ledger: ") + kNotHere);
}

std::string LedgerEnvironmentWarning() {
  return {};
}

std::string LedgerTransportRefusal(PGconn* /*connection*/) {
  return std::string("ledger: ") + kNotHere;
}

std::string LedgerStatusJson(const LedgerStatus& /*status*/, int64_t /*now_ms*/) {
  JsonObject json;
  json.Add("enabled", false);
  return json.Text();
}

std::string LedgerMetrics(const LedgerStatus& /*status*/, int64_t /*now_ms*/) {
  return {};
}

LedgerShipper::LedgerShipper(Options options) : options_(std::move(options)) {
  throw std::runtime_error(std::string("ledger: ") + kNotHere);
}

LedgerShipper::~LedgerShipper() = default;

void LedgerShipper::Start() {}

void LedgerShipper::Stop() {}

LedgerStatus LedgerShipper::Status() const {
  const std::scoped_lock lock(mutex_);
  return status_;
}

int LedgerCommand(const std::vector<std::string>& /*args*/) {
  std::cerr << "notavero-serve ledger: " << kNotHere << "\n";
  return 2;
}

}  // namespace notavero::service
