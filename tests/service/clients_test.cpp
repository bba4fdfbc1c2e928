// notavero-serve's roster of WebSocket clients, called directly: admission
// at the slots' limits, a hello and its replay page by page, no socket.
#include "service/clients.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "service/commands.h"
#include "service/journal.h"
#include "service/messages.h"
#include "service/security.h"

namespace notavero::service {
namespace {

class StatusDevice : public Device {
 public:
  explicit StatusDevice(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const override { return name_; }
  std::string StatusJson() const override { return R"({"type":"status","device":")" + name_ + "\"}"; }
  void SetEnabled(bool /*enabled*/) override {}
  Decision Decide(int64_t /*escrow_id*/, bool /*stack*/, DecisionDone /*done*/) override {
    return Decision::kNoBill;
  }

 private:
  std::string name_;
};

class ClientRosterTest : public ::testing::Test {
 protected:
  static constexpr std::size_t kSlots = 4;  // 3 for clients without the token
  static constexpr std::size_t kQueue = 8;  // pages of 2 events
  static constexpr const char* kToken = "secret";

  ClientRosterTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "serve-clients-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    journal_ = std::make_unique<Journal>((dir_ / "journal.sqlite").string());
    policy_.token = kToken;
    commands_ = std::make_unique<CommandHandler>(*journal_, policy_);
    clients_ = std::make_unique<Clients>(*journal_, *commands_, kSlots, kQueue);
    clients_->SetDevices({&device_});
  }
  ~ClientRosterTest() override {
    clients_.reset();
    commands_.reset();
    journal_.reset();
    std::filesystem::remove_all(dir_);
  }

  // A connection that has done its handshake.
  Clients::Outcome Connect(Clients::Id id, bool bearer = false) {
    clients_->Add(id, bearer);
    return clients_->Handshaken(id);
  }
  Clients::Outcome Say(Clients::Id id, const std::string& text) {
    return clients_->Message(id, text, [](const std::string&) {});
  }
  static std::string Hello(bool token) {
    return token ? std::string(R"({"cmd":"hello","token":")") + kToken + "\"}" : R"({"cmd":"hello"})";
  }
  int64_t AppendStacked() {
    BillEvent stacked;
    stacked.device = "left";
    stacked.kind = RowKind::kStacked;
    stacked.amount = 1000000;
    return journal_->Append(stacked);
  }
  // The "type" of each message, and the ids of the bill events among them.
  static std::vector<std::string> Types(const Clients::Outcome& outcome,
                                        std::vector<int64_t>* ids = nullptr) {
    std::vector<std::string> types;
    for (const std::string& message : outcome.messages) {
      const auto json = nlohmann::json::parse(message);
      types.push_back(json.at("type").get<std::string>());
      if (ids != nullptr && json.contains("id")) {
        ids->push_back(json.at("id").get<int64_t>());
      }
    }
    return types;
  }

  std::filesystem::path dir_;
  AccessPolicy policy_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<CommandHandler> commands_;
  std::unique_ptr<Clients> clients_;
  StatusDevice device_{"left"};
};

TEST_F(ClientRosterTest, SlotsKeepRoomForTheTokenAndAreReleased) {
  // Read-only clients take all slots but one.
  for (Clients::Id id = 1; id <= 3; ++id) {
    Connect(id);
    EXPECT_EQ(Types(Say(id, Hello(false))), (std::vector<std::string>{"status", "ok"})) << "client " << id;
  }
  Connect(4);
  Clients::Outcome refused = Say(4, Hello(false));
  const std::string why =
      "refused: no room for another client without the token (3 of the 4 slots; the rest "
      "are kept for clients with it)";
  EXPECT_TRUE(refused.refused);
  EXPECT_EQ(refused.messages, std::vector<std::string>{ErrorReply(why)});
  ASSERT_EQ(refused.shed.size(), 1U);
  EXPECT_EQ(refused.shed[0], (std::pair<Clients::Id, std::string>{4, why}));
  EXPECT_EQ(clients_->Count(), 3U) << "the refused one is no longer counted";

  // The handshake's token admits at once; a second client with it takes the
  // newest read-only client's slot.
  EXPECT_TRUE(Connect(5, true).shed.empty());
  EXPECT_FALSE(clients_->HelloLate(5)) << "admitted with its handshake: no hello is awaited";
  Clients::Outcome shed = Connect(6, true);
  ASSERT_EQ(shed.shed.size(), 1U);
  EXPECT_EQ(shed.shed[0],
            (std::pair<Clients::Id, std::string>{3, "closed: this slot went to a client with the token"}));
  EXPECT_EQ(clients_->Dropped(), 1U);
  EXPECT_EQ(Types(Say(5, Hello(true))), (std::vector<std::string>{"status", "ok"}));
  EXPECT_EQ(Types(Say(6, Hello(true))), (std::vector<std::string>{"status", "ok"}));
  EXPECT_EQ(clients_->Deciders(), 2);
  Connect(7, true);
  Connect(8, true);
  EXPECT_EQ(clients_->Count(), 4U);
  Connect(9);
  refused = Say(9, Hello(true));
  ASSERT_EQ(refused.shed.size(), 1U);
  EXPECT_EQ(refused.shed[0].second, "refused: all 4 client slots are taken by clients with the token");

  // A slot given back is taken again, and a decider that goes is no longer counted.
  EXPECT_TRUE(clients_->Remove(6, false));
  EXPECT_FALSE(clients_->Remove(6, false)) << "removed once";
  EXPECT_EQ(clients_->Deciders(), 1);
  Connect(10);
  EXPECT_EQ(Types(Say(10, Hello(false))), (std::vector<std::string>{"status", "ok"}));
  const uint64_t dropped = clients_->Dropped();
  EXPECT_EQ(dropped, 3U) << "clients 3, 2 and 1 gave their slots to clients with the token";
  EXPECT_TRUE(clients_->Remove(10, true));
  EXPECT_EQ(clients_->Dropped(), dropped + 1) << "a client dropped for not reading counts";

  // Connections that never say hello: as many as the slots wait; the next
  // one sheds the oldest, and a late one is told why it goes.
  for (Clients::Id id = 11; id <= 14; ++id) {
    EXPECT_TRUE(clients_->MakeRoomForNewcomer().shed.empty());
    Connect(id);
  }
  shed = clients_->MakeRoomForNewcomer();
  ASSERT_EQ(shed.shed.size(), 1U);
  EXPECT_EQ(shed.shed[0], (std::pair<Clients::Id, std::string>{
                              11, "refused: too many connections without hello; this one waited longest"}));
  EXPECT_EQ(clients_->HelloLate(12), "closed: no hello within 5 s");
  EXPECT_FALSE(clients_->HelloLate(12)) << "told once";
}

TEST_F(ClientRosterTest, HelloReplaysPageByPageThenGoesLive) {
  std::vector<int64_t> journaled;
  journaled.reserve(5);
  for (int i = 0; i < 4; ++i) {
    journaled.push_back(AppendStacked());
  }
  Connect(1);
  Connect(2);
  EXPECT_EQ(Types(Say(2, Hello(false))), (std::vector<std::string>{"status", "ok"}));

  std::vector<int64_t> replayed;
  Clients::Outcome page = Say(1, R"({"cmd":"hello","since":0,"token":"secret","ref":"r"})");
  EXPECT_EQ(Types(page, &replayed), (std::vector<std::string>{"stacked", "stacked"})) << "one page first";
  EXPECT_TRUE(clients_->Token(1)) << "answered as a client with the token while it replays";
  const int64_t live = AppendStacked();
  EXPECT_EQ(clients_->Recipients(live), std::vector<Clients::Id>{2}) << "the replay sends journaled events";
  EXPECT_EQ(clients_->Recipients(0), std::vector<Clients::Id>{2}) << "no status before its hello's ok";
  EXPECT_TRUE(clients_->Written(1, 1, Clients::kReplayLowWater).messages.empty())
      << "no page while much waits unread";
  EXPECT_EQ(
      Say(1, Hello(false)).messages,
      std::vector<std::string>{ErrorReply("refused: a replay is under way; send hello again after its ok")});

  EXPECT_EQ(Types(clients_->Written(1, 0, 0), &replayed), (std::vector<std::string>{"stacked", "stacked"}));
  page = clients_->Written(1, 0, 0);
  EXPECT_EQ(Types(page, &replayed), (std::vector<std::string>{"stacked", "status", "ok"}))
      << "the last page is short: the ok follows it";
  journaled.push_back(live);
  EXPECT_EQ(replayed, journaled) << "every row once, in order, across the pages";
  const auto ok = nlohmann::json::parse(page.messages.back());
  EXPECT_EQ(ok.at("replayed"), 5);
  EXPECT_EQ(ok.at("last_id"), live);
  EXPECT_EQ(ok.at("authorized"), true);
  EXPECT_EQ(ok.at("ref"), "r");
  EXPECT_FALSE(ok.contains("more"));
  EXPECT_EQ(clients_->Deciders(), 1);
  EXPECT_TRUE(clients_->Written(1, 0, 0).messages.empty()) << "the replay is over";

  // Live from the ok on: the events after it, never one it replayed.
  EXPECT_EQ(clients_->Recipients(live), std::vector<Clients::Id>{2});
  EXPECT_EQ(clients_->Recipients(live + 1), (std::vector<Clients::Id>{1, 2}));

  // A since of another journal replays every row of this one, and says why.
  page = Say(1, R"({"cmd":"hello","since":5,"journal":"0123456789abcdef0123456789abcdef"})");
  replayed.clear();
  Types(page, &replayed);
  EXPECT_EQ(replayed, (std::vector<int64_t>{journaled[0], journaled[1]}));
  while (!page.messages.empty() && nlohmann::json::parse(page.messages.back()).at("type") != "ok") {
    page = clients_->Written(1, 0, 0);
  }
  ASSERT_FALSE(page.messages.empty());
  EXPECT_NE(nlohmann::json::parse(page.messages.back()).value("restarted", "").find("every row"),
            std::string::npos)
      << page.messages.back();
}

}  // namespace
}  // namespace notavero::service
