// The service's configuration: command-line options and an optional config
// file of the same keys (`key = value`, one a line, # comments).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace notavero::service {

struct ValidatorConfig {
  std::string name;  // in every message, metric and journal row
  std::string path;  // a device path, or empty: port
  int port = 0;      // a COM number (POSIX: NOTAVERO_COM<n> or /dev/ttyS<n-1>)
};

struct Config {
  std::vector<ValidatorConfig> devices;
  std::string listen = "127.0.0.1";
  unsigned http_port = 8765;
  std::string state_dir;  // default: $STATE_DIRECTORY, else /var/lib/notavero-serve
  // The state directory the service manager made and named ($STATE_DIRECTORY,
  // its first directory); empty outside one.  Only there is a link followed.
  std::string manager_state_dir;
  std::string token_file;  // default: STATE_DIR/token
  std::string journal;     // default: STATE_DIR/journal.sqlite
  std::string www;         // static files served at /
  std::chrono::milliseconds escrow_timeout{3000};
  std::vector<std::string> allow_origins;  // besides the service's own origin
  std::vector<std::string> allow_hosts;    // Host values besides the service's own
  std::size_t max_clients = 64;
  std::size_t client_queue = 512;  // messages waiting for one client before it is dropped
  bool enable = false;             // ask for acceptance as soon as each validator is ready
  std::string ledger;              // libpq connection string of the central ledger; empty: none
  std::string kiosk_id;            // this kiosk in the ledger (default: the host name)
  int ledger_batch = 500;          // journal rows in one ledger transaction
  std::chrono::milliseconds ledger_retry{10000};    // the longest pause between attempts to reach it
  std::chrono::milliseconds ledger_timeout{15000};  // a statement's longest run on the ledger
  unsigned cassette_capacity = 0;                   // bills a cassette holds; 0: not known
  bool help = false;
  bool version = false;  // --version: print the version and exit
};

// Parses the options (argv without the program name); --config FILE is read
// first, so that options given on the command line win (repeated keys such
// as device add up).  Fills the defaults.  Throws std::invalid_argument with
// a message for people.
Config ParseConfig(const std::vector<std::string>& args);

const char* ConfigHelp();

}  // namespace notavero::service
