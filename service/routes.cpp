#include "service/routes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "common/clock.h"
#include "protocol/codes.h"
#include "service/cassette.h"
#include "service/clients.h"
#include "service/commands.h"
#include "service/journal.h"
#include "service/messages.h"
#include "service/metrics.h"
#include "service/validator.h"

namespace notavero::service {

namespace {

constexpr std::size_t kMaxFileBytes = 4 << 20;

std::string_view PathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

// The value of name in the query string of target, if there.
std::optional<std::string_view> QueryValue(std::string_view target, std::string_view name) {
  const auto question = target.find('?');
  if (question == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    }
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return std::nullopt;
}

std::optional<int64_t> QueryNumber(std::string_view target, std::string_view name, int64_t fallback) {
  const auto text = QueryValue(target, name);
  if (!text) {
    return fallback;
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::string_view ContentType(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kTypes = {{
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
  }};
  for (const auto& [ext, type] : kTypes) {
    if (path.ends_with(ext)) {
      return type;
    }
  }
  return "application/octet-stream";
}

// A path under the www folder: letters, digits and ._-/ only, no segment
// that starts with a dot.
bool SafeStaticPath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > 200) {
    return false;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.' || c == '/';
    if (!plain || (c == '.' && path[i - 1] == '/')) {
      return false;
    }
  }
  return true;
}

HttpResponse Answer(int status, std::string body, std::string_view type = "text/plain; charset=utf-8") {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  response.content_type = type;
  return response;
}

// Refused before any work: counted, and the connection closes.
HttpOutcome Refuse(int status, std::string why) {
  HttpOutcome outcome;
  outcome.response = Answer(status, std::move(why) + "\n");
  outcome.response.keep_alive = false;
  outcome.refused = true;
  return outcome;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

HttpResponse Events(std::string_view target, ReadBudget& reads, HttpBackend& backend, bool& refused) {
  const auto since = QueryNumber(target, "since", 0);
  const auto limit = QueryNumber(target, "limit", 1000);
  if (!since || !limit || *limit < 1 || *limit > 10000) {
    return Answer(400, "since=ID (0 or more), limit=1..10000\n");
  }
  if (backend.AnswersBusy()) {
    refused = true;
    HttpResponse response =
        Answer(503, "refused: 16 MiB of answers wait for their clients to read them; ask again later\n");
    response.retry_after = "1";
    return response;
  }
  if (!reads.Take()) {
    refused = true;
    HttpResponse response = Answer(429, ReadRefusal() + "\n");
    response.retry_after = "1";
    return response;
  }
  try {
    return Answer(200, backend.EventsBody(*since, static_cast<int>(*limit)), "application/json");
  } catch (const JournalError& error) {
    return Answer(503, std::string(error.what()) + "\n");
  }
}

HttpResponse StaticFile(std::string_view path, const std::string& www) {
  const std::string file_path = std::string(path == "/" ? "/index.html" : path);
  std::ifstream file;
  if (!www.empty() && SafeStaticPath(file_path)) {
    file.open(www + file_path, std::ios::binary);
  }
  std::ostringstream content;
  if (file && (content << file.rdbuf()) && content.tellp() <= static_cast<std::streamoff>(kMaxFileBytes)) {
    return Answer(200, content.str(), ContentType(file_path));
  }
  return Answer(404, "not found\n");
}

}  // namespace

bool ReadBudget::Take() {
  const auto now = std::chrono::steady_clock::now();
  tokens_ =
      std::min(kReadBurst, tokens_ + std::chrono::duration<double>(now - last_).count() * kReadsPerSecond);
  last_ = now;
  if (tokens_ < 1) {
    return false;
  }
  tokens_ -= 1;
  return true;
}

std::string ReadRefusal() {
  return "refused: too many journal reads on this connection (at most " +
         std::to_string(static_cast<int>(ReadBudget::kReadsPerSecond)) + " a second); wait and ask again";
}

HttpOutcome HandleRequest(const HttpRequest& request, const AccessPolicy& policy, const std::string& www,
                          ReadBudget& reads, HttpBackend& backend, const AnswerLater& later) {
  if (!HostAllowed(policy, request.host)) {
    return Refuse(403, "foreign Host");
  }
  const bool origin_ok =
      OriginAllowed(policy, request.origin ? std::string_view(*request.origin) : std::string_view(),
                    request.origin.has_value());
  const std::string_view target = request.target;
  const std::string_view path = PathOf(target);
  const bool bearer = BearerAllowed(policy, request.authorization);

  if (request.upgrade) {
    if (path != "/v1/ws") {
      return Refuse(404, "no WebSocket here: /v1/ws");
    }
    if (!origin_ok) {
      return Refuse(403, "foreign Origin");
    }
    HttpOutcome outcome;
    outcome.upgrade = true;
    outcome.bearer = bearer;
    return outcome;
  }

  // A foreign page's opaque request (fetch with mode "no-cors") reads
  // nothing, but it costs work: refused before any.
  if (!origin_ok) {
    return Refuse(403, "foreign Origin: requests from other sites' pages are refused");
  }
  if (EqualsNoCase(request.fetch_site, "cross-site")) {
    return Refuse(403, "refused: Sec-Fetch-Site: cross-site (a request from another site's page)");
  }

  HttpOutcome outcome;
  HttpResponse& response = outcome.response;
  const bool head = request.method == "HEAD";
  if (request.method == "POST" && path == "/v1/command") {
    if (!bearer) {
      return Refuse(401, "unauthorized: Authorization: Bearer TOKEN");
    }
    const bool keep_alive = request.keep_alive;
    auto replies = backend.Command(request.body, [later, keep_alive](std::string array) {
      HttpResponse answer = Answer(200, std::move(array), "application/json");
      answer.keep_alive = keep_alive;
      later(std::move(answer));
    });
    if (!replies) {
      outcome.deferred = true;
      return outcome;
    }
    response = Answer(200, std::move(*replies), "application/json");
  } else if (request.method != "GET" && !head) {
    response = Answer(405, "method not allowed\n");
  } else if (path == "/healthz") {
    // 200 when the kiosk can take money: the journal commits and every
    // validator answers; 503 with the reasons otherwise.  ?strict=0 asks
    // only whether the service itself runs.
    const std::string trouble = QueryValue(target, "strict") == "0" ? std::string() : backend.Trouble();
    response = trouble.empty() ? Answer(200, "ok\n") : Answer(503, trouble);
  } else if (path == "/v1/status") {
    response = Answer(200, backend.StatusBody(), "application/json");
  } else if (path == "/v1/events") {
    response = Events(target, reads, backend, outcome.refused);
  } else if (path == "/metrics") {
    response = Answer(200, backend.MetricsBody(), "text/plain; version=0.0.4; charset=utf-8");
  } else if (auto extra = backend.ExtraGet(path)) {
    response = Answer(200, std::move(*extra), "application/json");
  } else {
    response = StaticFile(path, www);
  }
  response.keep_alive = request.keep_alive;
  if (head) {
    response.body.clear();
  }
  return outcome;
}

// ---- the routes' bodies ----

std::string ServiceRoutes::StatusBody() const {
  std::string body = "{\"devices\":[";
  for (std::size_t i = 0; i < validators_.size(); ++i) {
    body += (i ? "," : "") + validators_[i]->StatusJson();
  }
  return body + "],\"journal\":" + JournalHealthJson(journal_.Health()) + "}";
}

std::string ServiceRoutes::Trouble() const {
  std::string trouble;
  const JournalHealth health = journal_.Health();
  if (!health.ok) {
    trouble += "the journal is failing: " + health.error + "\n";
  }
  for (const Validator* validator : validators_) {
    const ValidatorSnapshot snapshot = validator->Snapshot();
    if (snapshot.link != NV_LINK_ONLINE) {
      trouble += "validator " + snapshot.name + " is not online: " + nv_link_name(snapshot.link) + "\n";
    } else if (snapshot.word >= 0 && CannotTakeBills(DeviceStateOf(static_cast<uint16_t>(snapshot.word)))) {
      trouble += "validator " + snapshot.name + " cannot take bills: " + nv_state_name(snapshot.word) + "\n";
    }
  }
  return trouble;
}

std::string ServiceRoutes::EventsBody(int64_t since, int limit) {
  const auto events = journal_.Since(since, limit);
  std::string body = "{\"events\":[";
  for (std::size_t i = 0; i < events.size(); ++i) {
    body += (i ? "," : "") + BillEventJson(events[i], journal_.Identity());
  }
  return body + "],\"last_id\":" + std::to_string(journal_.LastId()) + "}";
}

LedgerStatus ServiceRoutes::Ledger() const {
  return ledger_ ? ledger_() : LedgerStatus{};
}

std::string ServiceRoutes::MetricsBody() {
  std::vector<ValidatorSnapshot> snapshots;
  std::vector<CassetteContent> cassettes;
  for (const Validator* validator : validators_) {
    snapshots.push_back(validator->Snapshot());
  }
  ServiceFigures figures;
  figures.clients = clients_.Count();
  figures.clients_dropped = clients_.Dropped();
  figures.requests_refused = counts_.refused;
  try {
    figures.journal_last_id = journal_.LastId();
  } catch (const JournalError&) {
    figures.journal_last_id = -1;  // the metrics go on: they show what is wrong
  }
  figures.journal_ok = journal_.Health().ok;
  std::string body = RenderMetrics(snapshots, figures) + LedgerMetrics(Ledger(), notavero::NowMs());
  for (const Validator* validator : validators_) {
    cassettes.push_back(validator->CassetteNow());
  }
  return body + CassetteMetrics(cassettes, cassette_capacity_);
}

std::optional<std::string> ServiceRoutes::ExtraGet(std::string_view path) const {
  if (path == "/v1/ledger") {
    return LedgerStatusJson(Ledger(), notavero::NowMs());
  }
  if (path == "/v1/cassette") {
    std::string body = "{\"devices\":[";
    for (std::size_t i = 0; i < validators_.size(); ++i) {
      body += (i ? "," : "") + CassetteJson(validators_[i]->CassetteNow(), cassette_capacity_);
    }
    return body + "]}";
  }
  return std::nullopt;
}

std::optional<std::string> ServiceRoutes::Command(std::string_view body,
                                                  std::function<void(std::string array)> later) {
  auto replies = std::make_shared<std::vector<std::string>>();
  const auto joined = [](const std::vector<std::string>& parts) {
    std::string array = "[";
    for (const std::string& reply : parts) {
      array += (array.size() > 1 ? "," : "") + reply;
    }
    return array + "]";
  };
  CommandResult result = commands_.Handle(body, ClientState{false, true, false},
                                          [replies, joined, later = std::move(later)](std::string reply) {
                                            replies->push_back(std::move(reply));
                                            later(joined(*replies));
                                          });
  if (result.refused) {
    ++counts_.refused;
  }
  if (result.deferred) {
    *replies = std::move(result.replies);  // the deferred reply joins them
    return std::nullopt;
  }
  return joined(result.replies);
}

}  // namespace notavero::service
