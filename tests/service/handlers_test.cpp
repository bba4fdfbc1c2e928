// notavero-serve's request and command handlers, called directly: a request
// or a message goes in, the answer comes out, no socket in between.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/commands.h"
#include "service/journal.h"
#include "service/messages.h"
#include "service/routes.h"
#include "service/security.h"

namespace notavero::service {
namespace {

AccessPolicy Policy() {
  AccessPolicy policy;
  policy.hosts = OwnHosts("127.0.0.1", 8765);
  policy.origins = OwnOrigins("127.0.0.1", 8765);
  policy.token = "secret";
  return policy;
}

class FakeBackend : public HttpBackend {
 public:
  std::string StatusBody() const override { return R"({"devices":[]})"; }
  std::string Trouble() const override { return trouble; }
  std::string EventsBody(int64_t since, int limit) override {
    if (journal_fails) {
      throw JournalError("database is locked");
    }
    return "{\"since\":" + std::to_string(since) + ",\"limit\":" + std::to_string(limit) + "}";
  }
  std::string MetricsBody() override { return "notavero_clients 0\n"; }
  std::optional<std::string> ExtraGet(std::string_view path) const override {
    return path == "/v1/cassette" ? std::optional<std::string>(R"({"cassettes":[]})") : std::nullopt;
  }
  bool AnswersBusy() const override { return busy; }
  std::optional<std::string> Command(std::string_view body,
                                     std::function<void(std::string)> /*later*/) override {
    commands.emplace_back(body);
    return "[]";
  }

  std::string trouble;
  bool busy = false;
  bool journal_fails = false;
  std::vector<std::string> commands;
};

class RequestHandlerTest : public ::testing::Test {
 protected:
  HttpOutcome Ask(HttpRequest request) {
    return HandleRequest(request, policy_, www_, reads_, backend_, [](HttpResponse) {});
  }
  static HttpRequest Get(std::string target) {
    HttpRequest request;
    request.method = "GET";
    request.target = std::move(target);
    request.host = "127.0.0.1:8765";
    return request;
  }

  AccessPolicy policy_ = Policy();
  std::string www_;
  ReadBudget reads_;
  FakeBackend backend_;
};

TEST_F(RequestHandlerTest, ForeignPagesAndHostsAreRefusedBeforeAnyWork) {
  HttpRequest request = Get("/v1/status");
  request.host = "evil.example:8765";  // DNS rebinding
  HttpOutcome outcome = Ask(request);
  EXPECT_EQ(outcome.response.status, 403);
  EXPECT_TRUE(outcome.refused);
  EXPECT_FALSE(outcome.response.keep_alive);

  request = Get("/metrics");
  request.origin = "http://evil.example";
  EXPECT_EQ(Ask(request).response.status, 403);
  request.origin = "http://127.0.0.1:8765";
  request.fetch_site = "Cross-Site";
  EXPECT_EQ(Ask(request).response.status, 403);

  request = Get("/v1/ws");
  request.upgrade = true;
  request.origin = "null";
  EXPECT_TRUE(Ask(request).refused);
  request.origin.reset();
  request.authorization = "Bearer secret";
  outcome = Ask(request);
  EXPECT_TRUE(outcome.upgrade);
  EXPECT_TRUE(outcome.bearer) << "the handshake's token makes the client a decider";
  request.target = "/ws";
  outcome = Ask(request);
  EXPECT_FALSE(outcome.upgrade);
  EXPECT_EQ(outcome.response.status, 404);

  request = Get("/v1/command");
  request.method = "POST";
  request.body = R"({"cmd":"enable"})";
  outcome = Ask(request);
  EXPECT_EQ(outcome.response.status, 401);
  EXPECT_TRUE(backend_.commands.empty()) << "no command runs without the token";
  request.authorization = "Bearer secret";
  EXPECT_EQ(Ask(request).response.content_type, "application/json");
  EXPECT_EQ(backend_.commands, std::vector<std::string>{R"({"cmd":"enable"})"});
}

TEST_F(RequestHandlerTest, RoutesHealthEventsAndMethods) {
  EXPECT_EQ(Ask(Get("/healthz")).response.body, "ok\n");
  backend_.trouble = "validator kiosk is not online: no answer\n";
  HttpOutcome outcome = Ask(Get("/healthz"));
  EXPECT_EQ(outcome.response.status, 503);
  EXPECT_EQ(outcome.response.body, backend_.trouble);
  EXPECT_EQ(Ask(Get("/healthz?strict=0")).response.status, 200) << "strict=0 asks only whether it runs";

  EXPECT_EQ(Ask(Get("/v1/events?since=5&limit=7")).response.body, R"({"since":5,"limit":7})");
  for (const char* bad :
       {"/v1/events?since=-1", "/v1/events?limit=0", "/v1/events?limit=10001", "/v1/events?since=1x"}) {
    EXPECT_EQ(Ask(Get(bad)).response.status, 400) << bad;
  }
  backend_.journal_fails = true;
  EXPECT_EQ(Ask(Get("/v1/events")).response.status, 503);
  backend_.journal_fails = false;
  backend_.busy = true;
  outcome = Ask(Get("/v1/events"));
  EXPECT_EQ(outcome.response.status, 503);
  EXPECT_EQ(outcome.response.retry_after, "1");
  EXPECT_TRUE(outcome.refused);
  backend_.busy = false;
  // The connection's read budget: a burst, then refusals (the earlier reads took some).
  int refused = 0;
  for (int i = 0; i < 20; ++i) {
    refused += Ask(Get("/v1/events")).response.status == 429 ? 1 : 0;
  }
  EXPECT_GE(refused, 5);

  HttpRequest request = Get("/v1/status");
  request.method = "HEAD";
  request.keep_alive = false;
  outcome = Ask(request);
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_TRUE(outcome.response.body.empty());
  EXPECT_FALSE(outcome.response.keep_alive);
  request.method = "DELETE";
  EXPECT_EQ(Ask(request).response.status, 405);
  EXPECT_EQ(Ask(Get("/metrics")).response.content_type, "text/plain; version=0.0.4; charset=utf-8");
  outcome = Ask(Get("/v1/cassette?device=kiosk"));
  EXPECT_EQ(outcome.response.body, R"({"cassettes":[]})") << "a path another part owns";
  EXPECT_EQ(outcome.response.content_type, "application/json");
}

TEST_F(RequestHandlerTest, StaticFilesOnlyFromTheFolderAndNeverHidden) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("serve-www-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "js");
  std::ofstream(dir / "index.html") << "<html>";
  std::ofstream(dir / "js" / "page.js") << "run()";
  std::ofstream(dir / ".token") << "secret";
  EXPECT_EQ(Ask(Get("/")).response.status, 404) << "no folder: no files";
  www_ = dir.string();
  HttpOutcome outcome = Ask(Get("/"));
  EXPECT_EQ(outcome.response.body, "<html>");
  EXPECT_EQ(outcome.response.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(Ask(Get("/js/page.js?v=2")).response.content_type, "text/javascript; charset=utf-8");
  for (const char* hidden : {"/.token", "/js/../.token", "/js/%2e%2e/index.html", "/nothing.html"}) {
    EXPECT_EQ(Ask(Get(hidden)).response.status, 404) << hidden;
  }
  std::filesystem::remove_all(dir);
}

class FakeDevice : public Device {
 public:
  explicit FakeDevice(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const override { return name_; }
  std::string StatusJson() const override { return "{\"device\":\"" + name_ + "\"}"; }
  void SetEnabled(bool value) override { enabled = value; }
  // Journals at once: the reply comes through done before Decide returns.
  Decision Decide(int64_t escrow_id, bool stack, DecisionDone done) override {
    if (fails) {
      throw std::runtime_error("out of memory");
    }
    if (escrow_id != waiting) {
      return Decision::kNoBill;
    }
    decided = stack ? "stack" : "return";
    done(journaled ? Decision::kTaken : Decision::kNotJournaled, "disk full");
    return Decision::kPending;
  }

  std::optional<bool> enabled;
  int64_t waiting = 0;
  bool journaled = true;
  bool fails = false;
  std::string decided;

 private:
  std::string name_;
};

class CommandHandlerTest : public ::testing::Test {
 protected:
  CommandHandlerTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serve-commands-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    journal_ = std::make_unique<Journal>((dir_ / "journal.sqlite").string());
    handler_ = std::make_unique<CommandHandler>(*journal_, policy_);
    handler_->SetDevices({&left_, &right_});
  }
  ~CommandHandlerTest() override {
    handler_.reset();
    journal_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The replies, with one that came later (a decision) after them.
  CommandResult Run(std::string_view text, bool authorized = true) {
    std::vector<std::string> later;
    CommandResult result =
        handler_->Handle(text, ClientState{true, authorized, false},
                         [&later](std::string reply) { later.push_back(std::move(reply)); });
    EXPECT_EQ(later.size(), result.deferred ? 1U : 0U) << text;
    result.replies.insert(result.replies.end(), later.begin(), later.end());
    return result;
  }

  AccessPolicy policy_ = Policy();
  std::filesystem::path dir_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<CommandHandler> handler_;
  FakeDevice left_{"left"};
  FakeDevice right_{"right"};
};

TEST_F(CommandHandlerTest, StatusForAnyoneChangesOnlyWithTheToken) {
  CommandResult result = Run(R"({"cmd":"status","ref":"s"})", false);
  EXPECT_EQ(result.replies, (std::vector<std::string>{R"({"device":"left"})", R"({"device":"right"})",
                                                      OkReply(CommandKind::kStatus, "s")}));
  EXPECT_EQ(Run(R"({"cmd":"status","device":"middle"})").replies,
            std::vector<std::string>{ErrorReply("unknown device")});
  EXPECT_EQ(Run("{").replies, std::vector<std::string>{ErrorReply("not JSON")});

  result = Run(R"({"cmd":"enable","device":"right"})", false);
  EXPECT_TRUE(result.refused);
  EXPECT_EQ(result.replies, std::vector<std::string>{ErrorReply("unauthorized: give the token")});
  EXPECT_FALSE(right_.enabled);
  EXPECT_EQ(Run(R"({"cmd":"enable","device":"right"})").replies,
            std::vector<std::string>{OkReply(CommandKind::kEnable, "")});
  EXPECT_EQ(right_.enabled, true);
  EXPECT_FALSE(left_.enabled);
  Run(R"({"cmd":"disable"})");
  EXPECT_EQ(left_.enabled, false);
  EXPECT_EQ(right_.enabled, false);
}

TEST_F(CommandHandlerTest, DecisionsGoToTheDeviceWhoseBillWaits) {
  right_.waiting = 42;
  EXPECT_EQ(Run(R"({"cmd":"stack","id":41})").replies,
            std::vector<std::string>{ErrorReply("no bill waits for a decision under this id")});
  EXPECT_EQ(Run(R"({"cmd":"stack","id":42,"ref":"a"})").replies,
            std::vector<std::string>{OkReply(CommandKind::kStack, "a", "id", 42)});
  EXPECT_EQ(right_.decided, "stack");
  right_.journaled = false;
  EXPECT_EQ(Run(R"({"cmd":"return","id":42})").replies, std::vector<std::string>{ErrorReply("disk full")});
  left_.fails = true;
  EXPECT_EQ(Run(R"({"cmd":"return","id":42})").replies,
            std::vector<std::string>{ErrorReply("failed: out of memory")})
      << "a command that throws gets its own error";

  BillEvent stacked;
  stacked.device = "right";
  stacked.kind = RowKind::kStacked;
  stacked.amount = 1000000;
  const int64_t id = journal_->Append(stacked);
  EXPECT_EQ(Run(R"({"cmd":"ack","id":)" + std::to_string(id) + "}").replies,
            std::vector<std::string>{OkReply(CommandKind::kAck, "", "id", id)});
  EXPECT_EQ(Run(R"({"cmd":"ack","id":)" + std::to_string(id + 1) + "}").replies,
            std::vector<std::string>{ErrorReply("no stacked event has this id")});
}

TEST_F(CommandHandlerTest, HelloIsGrantedToWebSocketClientsWithTheirToken) {
  CommandResult result = Run(R"({"cmd":"hello","since":7,"ref":"h"})", false);
  ASSERT_TRUE(result.hello);
  EXPECT_FALSE(result.hello->authorized);
  EXPECT_EQ(result.hello->since, 7);
  EXPECT_EQ(result.hello->ref, "h");
  EXPECT_TRUE(result.replies.empty()) << "the server answers a granted hello";

  result = Run(R"({"cmd":"hello","token":"secret"})", false);
  ASSERT_TRUE(result.hello);
  EXPECT_TRUE(result.hello->authorized);
  EXPECT_EQ(result.hello->since, -1);

  result = Run(R"({"cmd":"hello","token":"guess"})", false);
  EXPECT_FALSE(result.hello);
  EXPECT_TRUE(result.refused);
  EXPECT_EQ(result.replies, std::vector<std::string>{ErrorReply("unauthorized: wrong token")});

  result = handler_->Handle(R"({"cmd":"hello"})", ClientState{true, true, true}, nullptr);
  EXPECT_FALSE(result.hello) << "one replay at a time";
  result = handler_->Handle(R"({"cmd":"hello"})", ClientState{false, true, false}, nullptr);
  EXPECT_FALSE(result.hello);
  EXPECT_EQ(result.replies, std::vector<std::string>{ErrorReply("hello is for WebSocket clients")});
}

}  // namespace
}  // namespace notavero::service
