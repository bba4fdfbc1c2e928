#include "service/metrics.h"

#include <array>
#include <cstdio>
#include <functional>
#include <string_view>

namespace notavero::service {

namespace {

void Header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, const std::string& value) {
  out.append(name).append("{").append(labels).append("} ").append(value).append("\n");
}

std::string DeviceLabel(const ValidatorSnapshot& v) {
  return "device=\"" + v.name + "\"";
}

// A metric with one sample per validator.
void PerDevice(std::string& out, const std::vector<ValidatorSnapshot>& validators, std::string_view name,
               std::string_view type, std::string_view help,
               const std::function<std::string(const ValidatorSnapshot&)>& value) {
  Header(out, name, type, help);
  for (const auto& v : validators) {
    Sample(out, name, DeviceLabel(v), value(v));
  }
}

std::string Count(uint64_t value) {
  return std::to_string(value);
}

}  // namespace

std::string AmountText(int64_t amount) {
  const bool negative = amount < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(amount) : static_cast<uint64_t>(amount);
  std::string text = std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(fraction));
    std::string tail(digits);
    while (tail.back() == '0') {
      tail.pop_back();
    }
    text += "." + tail;
  }
  return negative ? "-" + text : text;
}

std::string RenderMetrics(const std::vector<ValidatorSnapshot>& validators, const ServiceFigures& figures) {
  std::string out;
  Header(out, "notavero_bills_stacked_total", "counter",
         "Bills stacked since the service started, by value.");
  for (const auto& v : validators) {
    for (const auto& [value, count] : v.stacked_by_value) {
      Sample(out, "notavero_bills_stacked_total", DeviceLabel(v) + ",value=\"" + value + "\"", Count(count));
    }
  }
  PerDevice(
      out, validators, "notavero_stacked_amount_total", "counter",
      "Sum of the bills stacked since the service started, in whole currency units (100.5, not 1005000).",
      [](const auto& v) { return AmountText(v.stacked_amount); });
  PerDevice(out, validators, "notavero_escrow_timeouts_total", "counter",
            "Escrowed bills returned because no decision came in time.",
            [](const auto& v) { return Count(v.escrow_timeouts); });
  PerDevice(out, validators, "notavero_escrows_without_client_total", "counter",
            "Escrowed bills returned because no client was connected.",
            [](const auto& v) { return Count(v.escrows_without_client); });
  // The driver's counts, one counter each.
  struct DriverCount {
    std::string_view metric;
    std::string_view help;
    uint32_t nv_counters::*field;
  };
#define NV_COUNT_METRIC_(field, metric, help) DriverCount{metric, help, &nv_counters::field},
  static constexpr std::array kDriverCounts = {NV_COUNTER_LIST(NV_COUNT_METRIC_)};
#undef NV_COUNT_METRIC_
  for (const DriverCount& count : kDriverCounts) {
    PerDevice(
        out, validators, "notavero_" + std::string(count.metric) + "_total", "counter", count.help,
        [&count](const ValidatorSnapshot& v) { return Count(v.has_counters ? v.counters.*count.field : 0); });
  }
  PerDevice(out, validators, "notavero_link_state", "gauge",
            "Link to the validator: 0 unknown, 1 online, 2 no answer, 3 port lost.",
            [](const auto& v) { return std::to_string(v.link); });
  PerDevice(out, validators, "notavero_state_code", "gauge",
            "Status word of the last successful poll (state in the low byte), -1 before the first.",
            [](const auto& v) { return std::to_string(v.word); });
  PerDevice(out, validators, "notavero_acceptance_requested", "gauge", "1 while acceptance is asked for.",
            [](const auto& v) { return std::string(v.enabled ? "1" : "0"); });
  PerDevice(out, validators, "notavero_last_answer_age_seconds", "gauge",
            "Seconds since the last good reply of the validator, -1 never.", [](const auto& v) {
              const int64_t ms = v.has_counters ? v.counters.last_answer_ms : -1;
              if (ms < 0) {
                return std::string("-1");
              }
              char text[32];
              std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
              return std::string(text);
            });
  Header(out, "notavero_clients", "gauge", "WebSocket clients connected.");
  out += "notavero_clients " + Count(figures.clients) + "\n";
  Header(out, "notavero_clients_dropped_total", "counter",
         "WebSocket clients dropped because they did not read.");
  out += "notavero_clients_dropped_total " + Count(figures.clients_dropped) + "\n";
  Header(out, "notavero_requests_refused_total", "counter",
         "Requests refused for a foreign Host or Origin, a missing token, or their size.");
  out += "notavero_requests_refused_total " + Count(figures.requests_refused) + "\n";
  Header(out, "notavero_journal_last_id", "gauge", "Id of the newest journal event.");
  out += "notavero_journal_last_id " + std::to_string(figures.journal_last_id) + "\n";
  Header(out, "notavero_journal_ok", "gauge",
         "1 while the journal takes writes; 0 while it fails (acceptance is off meanwhile).");
  out += std::string("notavero_journal_ok ") + (figures.journal_ok ? "1" : "0") + "\n";
  return out;
}

}  // namespace notavero::service
