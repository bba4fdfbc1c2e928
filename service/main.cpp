// notavero-serve: runs the validators it is given and serves them over HTTP
// and WebSocket on this machine, with every bill in the money journal.
#include <chrono>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/config.h"
#include "service/housekeeping.h"
#include "service/journal.h"
#include "service/ledger.h"
#include "service/process.h"
#include "service/security.h"
#include "service/server.h"
#include "service/validator.h"

namespace {

using namespace notavero::service;

// The unit file does not restart the service on this status: a damaged
// journal waits for a person.
constexpr int kExitJournalDamaged = 3;

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1";
}

int Run(Config config) {
  if (!IsLoopback(config.listen)) {
    std::cerr << "notavero-serve: WARNING: listening on " << config.listen
              << ", not on the loopback address: other machines can reach the service; only the token keeps "
                 "them from driving the validators\n";
  }
  RestrictNewFiles();  // the journal and the token are nobody else's business
  // Another local user must not have laid out the state for us (its token,
  // a journal with forged credits).
  const StatePaths state =
      CheckPrivateState({config.state_dir, config.token_file, config.journal}, config.manager_state_dir);
  config.state_dir = state.dir;
  config.token_file = state.token_file;
  config.journal = state.journal;
  AccessPolicy policy;
  policy.token = LoadOrCreateToken(config.token_file);
  Journal journal(config.journal);
  // What an earlier run could only put in the fallback file goes in first:
  // its decisions before the undecided escrows are closed, its outcomes
  // before the validators look for bills sent to the stacker and never
  // reported.  A journal that cannot take them now (locked past the start's
  // long wait) starts failing, and its probe applies them once it works.
  try {
    (void)journal.ReplayFallback();
  } catch (const JournalError& error) {
    std::cerr << "notavero-serve: " << journal.FallbackPath() << " is not applied yet: " << error.what()
              << "\n";
  }
  // A bill left in escrow by the last run is returned by the device to the
  // new driver, which reports that outcome as foreign.
  const auto closed = journal.CloseUndecided(DecidedBy::kRestart);
  journal.Started();
  if (!closed.empty()) {
    std::cerr << "notavero-serve: " << closed.size()
              << " escrow(s) of the last run had no decision: journaled as returned (by restart)\n";
  }
  auto server = Server::Create(config, journal);
  policy.hosts = OwnHosts(config.listen, server->Port());
  policy.origins = OwnOrigins(config.listen, server->Port());
  policy.hosts.insert(policy.hosts.end(), config.allow_hosts.begin(), config.allow_hosts.end());
  policy.origins.insert(policy.origins.end(), config.allow_origins.begin(), config.allow_origins.end());
  server->SetPolicy(policy);

  std::vector<std::unique_ptr<Validator>> validators;
  std::vector<Validator*> pointers;
  for (const auto& device : config.devices) {
    validators.push_back(
        std::make_unique<Validator>(device, journal, server->Sink(), config.escrow_timeout, config.enable));
    pointers.push_back(validators.back().get());
  }
  server->SetValidators(pointers);
  // The ledger's thread reads the journal on a connection of its own; it
  // never holds up a bill.
  std::unique_ptr<LedgerShipper> ledger;
  if (!config.ledger.empty()) {
    LedgerShipper::Options options;
    options.conninfo = config.ledger;
    options.kiosk = config.kiosk_id;
    options.journal = config.journal;
    options.identity = journal.Identity();
    options.cursor_file = config.state_dir + "/ledger.cursor";
    options.batch = config.ledger_batch;
    options.max_backoff = config.ledger_retry;
    options.timeout = config.ledger_timeout;
    ledger = std::make_unique<LedgerShipper>(options);
    if (const std::string warning = LedgerEnvironmentWarning(); !warning.empty()) {
      std::cerr << "notavero-serve: ledger: " << warning << "\n";
    }
  }
  if (ledger) {
    server->SetLedger([shipper = ledger.get()] { return shipper->Status(); });
  }
  // Absent validators and a failing journal, looked at once a second on a
  // thread of their own.
  Housekeeping housekeeping(journal, pointers, server->Sink());
  server->Start();
  housekeeping.Start();
  if (ledger) {
    ledger->Start();
  }
  int status = 0;
  try {
    for (auto& validator : validators) {
      validator->Open();  // one that is absent is opened later; the others run
    }
    std::cout << "notavero-serve: listening on http://"
              << (config.listen.find(':') != std::string::npos ? "[" : "") << config.listen
              << (config.listen.find(':') != std::string::npos ? "]" : "") << ":" << server->Port()
              << "/ journal " << config.journal << std::endl;
    NotifyReady();
    WaitForStop();
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << error.what() << "\n";
    status = 1;
  }
  // Every validator stops taking bills and returns a bill in escrow at
  // once; then each waits for its device's outcome before its driver goes.
  for (auto& validator : validators) {
    validator->BeginClose();
  }
  for (auto& validator : validators) {
    validator->Close();
  }
  housekeeping.Stop();
  server->Stop();
  if (ledger) {
    ledger->Stop();
  }
  return status;
}

}  // namespace

int notavero::service::Serve(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "ledger") {
    return LedgerCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc > 1 && std::string_view(argv[1]) == "journal") {
    return JournalCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  Config config;
  try {
    config = ParseConfig(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << error.what() << "\n" << ConfigHelp();
    return 2;
  }
  if (config.help) {
    std::cout << ConfigHelp();
    return 0;
  }
  if (config.version) {
    std::cout << "notavero-serve " << nv_library_version() << "\n";
    return 0;
  }
  PrepareStop();
  try {
    return Run(std::move(config));
  } catch (const JournalDamaged& error) {
    std::cerr << "notavero-serve: " << error.what() << "\n";
    return kExitJournalDamaged;
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << error.what() << "\n";
    return 1;
  }
}
