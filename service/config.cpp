#include "service/config.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "service/ledger.h"
#include "service/platform.h"

namespace notavero::service {

namespace {

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

unsigned long Number(const std::string& key, const std::string& value, unsigned long low,
                     unsigned long high) {
  unsigned long number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || number < low || number > high) {
    throw std::invalid_argument(key + ": expected a number from " + std::to_string(low) + " to " +
                                std::to_string(high) + ", got '" + value + "'");
  }
  return number;
}

// [NAME=]VALUE
std::pair<std::string, std::string> Named(const std::string& value) {
  const auto eq = value.find('=');
  if (eq == std::string::npos || eq == 0) {
    return {std::string(), value};
  }
  return {value.substr(0, eq), value.substr(eq + 1)};
}

void Apply(Config& config, const std::string& key, const std::string& value) {
  if (key == "device" || key == "port") {
    auto [name, what] = Named(value);
    ValidatorConfig device;
    device.name = name.empty() ? "v" + std::to_string(config.devices.size() + 1) : name;
    if (key == "device") {
      device.path = what;
    } else {
      device.port = static_cast<int>(Number(key, what, 1, 255));
    }
    if (device.name.size() > 32 || device.name.find_first_of("\"\\{}, \t") != std::string::npos) {
      throw std::invalid_argument(key + ": the name '" + device.name + "' is too long or has odd characters");
    }
    for (const auto& other : config.devices) {
      if (other.name == device.name) {
        throw std::invalid_argument(key + ": the name '" + device.name + "' is given twice");
      }
    }
    config.devices.push_back(std::move(device));
  } else if (key == "listen") {
    config.listen = value;
  } else if (key == "http-port") {
    config.http_port = static_cast<unsigned>(Number(key, value, 0, 65535));
  } else if (key == "state-dir") {
    config.state_dir = value;
  } else if (key == "token-file") {
    config.token_file = value;
  } else if (key == "journal") {
    config.journal = value;
  } else if (key == "www") {
    config.www = value;
  } else if (key == "escrow-timeout") {
    config.escrow_timeout = std::chrono::milliseconds(Number(key, value, 100, 60000));
  } else if (key == "allow-origin") {
    config.allow_origins.push_back(value);
  } else if (key == "allow-host") {
    config.allow_hosts.push_back(value);
  } else if (key == "max-clients") {
    config.max_clients = Number(key, value, 1, 10000);
  } else if (key == "client-queue") {
    config.client_queue = Number(key, value, 16, 1000000);
  } else if (key == "ledger") {
    config.ledger = value;
  } else if (key == "kiosk-id") {
    if (value.empty() || value.size() > 64 || value.find_first_of("\"\\ \t") != std::string::npos) {
      throw std::invalid_argument(key + ": '" + value + "' is empty, too long or has odd characters");
    }
    config.kiosk_id = value;
  } else if (key == "ledger-batch") {
    config.ledger_batch = static_cast<int>(Number(key, value, 1, 5000));
  } else if (key == "ledger-retry") {
    config.ledger_retry = std::chrono::milliseconds(Number(key, value, 100, 600000));
  } else if (key == "ledger-timeout") {
    config.ledger_timeout = std::chrono::milliseconds(Number(key, value, 1000, 600000));
  } else if (key == "cassette-capacity") {
    config.cassette_capacity = static_cast<unsigned>(Number(key, value, 0, 100000));
  } else if (key == "enable") {
    config.enable = value.empty() || value == "true" || value == "yes" || value == "1";
  } else {
    throw std::invalid_argument("unknown option: " + key);
  }
}

void ReadFile(Config& config, const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::invalid_argument("cannot read the config file " + path);
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    const auto hash = line.find('#');
    const std::string text = Trim(std::string_view(line).substr(0, hash));
    if (text.empty()) {
      continue;
    }
    const auto split = text.find_first_of("= \t");
    const std::string key = Trim(std::string_view(text).substr(0, split));
    std::string value =
        split == std::string::npos ? std::string() : Trim(std::string_view(text).substr(split));
    if (!value.empty() && value.front() == '=') {
      value = Trim(std::string_view(value).substr(1));
    }
    try {
      Apply(config, key, value);
    } catch (const std::invalid_argument& error) {
      throw std::invalid_argument(path + ":" + std::to_string(number) + ": " + error.what());
    }
  }
}

bool IsFlag(std::string_view key) {
  return key == "enable" || key == "help" || key == "version";
}

// The options that take a value (`--config FILE` too).
bool TakesValue(std::string_view key) {
  for (const std::string_view known : {"device",
                                       "port",
                                       "listen",
                                       "http-port",
                                       "state-dir",
                                       "token-file",
                                       "journal",
                                       "www",
                                       "escrow-timeout",
                                       "allow-origin",
                                       "allow-host",
                                       "max-clients",
                                       "client-queue",
                                       "ledger",
                                       "kiosk-id",
                                       "ledger-batch",
                                       "ledger-retry",
                                       "ledger-timeout",
                                       "cassette-capacity",
                                       "config"}) {
    if (key == known) {
      return true;
    }
  }
  return false;
}

}  // namespace

Config ParseConfig(const std::vector<std::string>& args) {
  Config config;
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--config") {
      ReadFile(config, args[i + 1]);
    }
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      throw std::invalid_argument("unexpected argument: " + arg);
    }
    std::string key = arg.substr(2);
    std::string value;
    if (const auto eq = key.find('='); eq != std::string::npos) {
      value = key.substr(eq + 1);
      key.resize(eq);
    } else if (!IsFlag(key)) {
      if (!TakesValue(key)) {
        throw std::invalid_argument("unknown option " + arg);
      }
      if (i + 1 >= args.size()) {
        throw std::invalid_argument(arg + " needs a value");
      }
      value = args[++i];
    }
    if (key == "help") {
      config.help = true;
    } else if (key == "version") {
      config.version = true;
    } else if (key != "config") {
      Apply(config, key, value);
    }
  }
  if (config.help || config.version) {
    return config;
  }
  if (config.devices.empty()) {
    throw std::invalid_argument("no validator: give --device PATH or --port N");
  }
  const char* systemd = std::getenv("STATE_DIRECTORY");  // NOLINT(concurrency-mt-unsafe): before any thread
  if (systemd != nullptr) {
    config.manager_state_dir = systemd;
    if (const auto colon = config.manager_state_dir.find(':'); colon != std::string::npos) {
      config.manager_state_dir.resize(colon);  // systemd lists several directories with ':'
    }
  }
  if (config.state_dir.empty()) {
    config.state_dir = config.manager_state_dir.empty() ? DefaultStateDir() : config.manager_state_dir;
  }
  if (config.token_file.empty()) {
    config.token_file = JoinPath(config.state_dir, "token");
  }
  if (config.journal.empty()) {
    config.journal = JoinPath(config.state_dir, "journal.sqlite");
  }
  if (!config.ledger.empty()) {
    config.ledger = LedgerConninfo(config.ledger);
  }
  if (config.kiosk_id.empty()) {
    config.kiosk_id = HostName();
  }
  return config;
}

const char* ConfigHelp() {
  return "usage: notavero-serve [options]\n"
         "  --device [NAME=]PATH    a validator on a serial device (repeat for more)\n"
         "  --port [NAME=]N         a validator on COM port N (POSIX: NOTAVERO_COM<N>)\n"
         "  --listen ADDRESS        address to listen on (default 127.0.0.1; any other is a risk)\n"
         "  --http-port N           TCP port (default 8765; 0 picks a free one)\n"
         "  --state-dir DIR         journal and token (default $STATE_DIRECTORY or /var/lib/notavero-serve)\n"
         "  --token-file FILE       bearer token, created with mode 0600 (default STATE_DIR/token)\n"
         "  --journal FILE          SQLite money journal (default STATE_DIR/journal.sqlite)\n"
         "  --www DIR               static files served at /\n"
         "  --escrow-timeout MS     how long a bill in escrow waits for a decision (default 3000)\n"
         "  --allow-origin ORIGIN   a web origin allowed besides the service's own (repeat)\n"
         "  --allow-host HOST[:PORT] a Host header allowed besides the service's own (repeat)\n"
         "  --max-clients N         WebSocket clients at once (default 64)\n"
         "  --client-queue N        messages waiting for one client before it is dropped (default 512)\n"
         "  --enable                ask for acceptance at start (else a client's enable)\n"
         "  --ledger CONNINFO       ship the journal to the central PostgreSQL ledger (libpq connection\n"
         "                          string; the password only in libpq's password file, mode 0600)\n"
         "  --kiosk-id ID           this kiosk in the ledger (default: the host name)\n"
         "  --ledger-batch N        journal rows in one ledger transaction (default 500)\n"
         "  --ledger-retry MS       the longest pause between attempts to reach the ledger (default 10000)\n"
         "  --ledger-timeout MS     a ledger statement's longest run; 2 s more without any answer and the\n"
         "                          ledger counts as hung (default 15000)\n"
         "  --cassette-capacity N   bills a cassette holds: a metric for the alert before it is full\n"
         "  --config FILE           the same keys, `key = value` per line; options win\n"
         "  --version               print the version and exit\n"
         "       notavero-serve ledger init|maintain|report ... (notavero-serve ledger --help)\n";
}

}  // namespace notavero::service
