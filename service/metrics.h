// /metrics in the Prometheus text format.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/notavero.h"

namespace notavero::service {

// What one validator reports for the metrics and the status.
struct ValidatorSnapshot {
  std::string name;
  int32_t word = -1;  // status word of the last successful poll, -1 before
  int32_t link = NV_LINK_UNKNOWN;
  bool enabled = false;
  bool has_counters = false;
  nv_counters counters{};
  // Kept by the service since it started: bills stacked by value (in
  // currency units, as text: "100", "0.5"), their sum, and escrows the
  // service returned because no decision came in time or no client was there.
  std::map<std::string, uint64_t> stacked_by_value;
  int64_t stacked_amount = 0;  // 1/10000 currency units
  uint64_t escrow_timeouts = 0;
  uint64_t escrows_without_client = 0;
};

struct ServiceFigures {
  uint64_t clients = 0;
  uint64_t clients_dropped = 0;
  uint64_t requests_refused = 0;
  int64_t journal_last_id = 0;  // -1 when the journal cannot say
  bool journal_ok = true;       // writes work
};

// 1/10000 units as a decimal text in currency units: 1000000 -> "100",
// 5000 -> "0.5".
std::string AmountText(int64_t amount);

std::string RenderMetrics(const std::vector<ValidatorSnapshot>& validators, const ServiceFigures& figures);

}  // namespace notavero::service
