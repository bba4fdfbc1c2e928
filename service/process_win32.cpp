// The service's process on Windows.  Without a subcommand it is a console
// program, stopped by Ctrl+C, Ctrl+Break or its console's closing;
// `install` and `uninstall` register it with the service control manager
// and remove it, and the manager starts it as `notavero-serve.exe run ...`
// and stops it with its stop.  Every stop ends the service as SIGTERM ends
// it on Linux: a bill in escrow is returned and its outcome journaled.
// Under the manager, its output goes to log\notavero-serve.log in the state
// directory, and the driver's log beside it (unless NOTAVERO_LOG names one).
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/system_message.h"
#include "service/config.h"
#include "service/platform.h"
#include "service/process.h"
#include "service/security.h"
#include "service/text_win32.h"

namespace notavero::service {

namespace {

constexpr const wchar_t* kServiceName = L"notavero-serve";
// How long the manager waits for the stop before it calls the service hung:
// the validators' close waits up to 20 s for a device's outcome, as the
// systemd unit's TimeoutStopSec allows.
constexpr DWORD kStopWaitHintMs = 25000;

HANDLE g_stop = nullptr;                   // set by the stop (manual reset)
HANDLE g_done = nullptr;                   // set when the service has ended: a closing console waits for it
SERVICE_STATUS_HANDLE g_status = nullptr;  // under the service control manager only
std::vector<std::string> g_service_args;   // the options after `run`

void MakeEvents() {
  if (g_stop == nullptr) {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
}

void Report(DWORD state, DWORD exit_code = NO_ERROR, DWORD service_code = 0, DWORD wait_hint = 0) {
  if (g_status == nullptr) {
    return;
  }
  static DWORD checkpoint = 1;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_code;
  status.dwServiceSpecificExitCode = service_code;
  status.dwWaitHint = wait_hint;
  status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : checkpoint++;
  SetServiceStatus(g_status, &status);
}

BOOL WINAPI OnConsole(DWORD event) {
  SetEvent(g_stop);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends as soon as this returns: the bill in escrow and its
    // journal row come first.
    WaitForSingleObject(g_done, kStopWaitHintMs);
  }
  return TRUE;
}

DWORD WINAPI OnControl(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
      SetEvent(g_stop);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

std::string Failure(const std::string& what) {
  const DWORD code = GetLastError();
  return what + ": " + SystemMessage(code) + " (error " + std::to_string(code) + ")";
}

int ServeWith(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  std::string program = "notavero-serve";
  argv.push_back(program.data());
  for (std::string& arg : copy) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return Serve(static_cast<int>(argv.size() - 1), argv.data());
}

// Under the manager there is no console: the output goes to the log
// directory of the state tree, made private first.
void OpenServiceLog() {
  std::string dir = DefaultStateDir();
  try {
    dir = ParseConfig(g_service_args).state_dir;
  } catch (const std::exception&) {
    // Serve says what is wrong with the options, into the default log.
  }
  const StatePaths state = CheckPrivateState({dir, dir + "\\token", dir + "\\journal.sqlite"});
  const std::string logs = state.dir + "\\log";
  if (!CreateDirectoryW(Wide(logs).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    throw std::runtime_error("cannot create " + logs + ": " + SystemMessage(GetLastError()));
  }
  const std::string log = logs + "\\notavero-serve.log";
  // A service has no standard output: descriptors 1 and 2, and the
  // process's standard handles, become the log file.
  const HANDLE file =
      CreateFileW(Wide(log).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw std::runtime_error(Failure("cannot open " + log));
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_APPEND | _O_BINARY);
  if (fd < 0 || _dup2(fd, 1) != 0 || _dup2(fd, 2) != 0) {
    throw std::runtime_error("cannot write " + log);
  }
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  // The C runtime's stdout of a process started without a console is no
  // stream at all: std::cout and std::cerr write to the file themselves.
  static std::ofstream stream(std::filesystem::path(Wide(log)), std::ios::app | std::ios::binary);
  if (!stream) {
    throw std::runtime_error("cannot write " + log);
  }
  std::cout.rdbuf(stream.rdbuf());
  std::cerr.rdbuf(stream.rdbuf());
  std::cout << std::unitbuf;
  std::cerr << std::unitbuf;
  const char* driver_log = std::getenv("NOTAVERO_LOG");  // NOLINT(concurrency-mt-unsafe): no thread yet
  if (driver_log == nullptr || driver_log[0] == '\0') {
    _putenv_s("NOTAVERO_LOG", (logs + "\\Notavero.log").c_str());
  }
}

void ToEventLog(const std::string& text) {
  const HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
  if (source == nullptr) {
    return;
  }
  const std::wstring wide = Wide("notavero-serve: " + text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/) {
  MakeEvents();
  g_status = RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
  if (g_status == nullptr) {
    return;
  }
  Report(SERVICE_START_PENDING, NO_ERROR, 0, 30000);
  try {
    OpenServiceLog();
  } catch (const std::exception& error) {
    // Nowhere to write yet: the system's event log says why.
    ToEventLog(error.what());
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 1);
    return;
  }
  const int status = ServeWith(g_service_args);
  std::fflush(stdout);
  std::fflush(stderr);
  Report(SERVICE_STOPPED, status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(status));
}

std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) {
      CloseServiceHandle(handle_);
    }
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  [[nodiscard]] SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

int Install(const std::vector<std::string>& args) {
  try {
    (void)ParseConfig(args);
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve install: " << error.what() << "\n" << ConfigHelp();
    return 2;
  }
  std::wstring program(MAX_PATH, L'\0');
  const DWORD size = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
  program.resize(size);
  std::wstring command = Quoted(program) + L" run";
  for (const std::string& arg : args) {
    command += L" " + Quoted(Wide(arg, CP_ACP));  // as main was given it
  }
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.get() == nullptr) {
    const std::string why = Failure("cannot open the service control manager");
    std::cerr << "notavero-serve install: " << why << " (run it as an administrator)\n";
    return 1;
  }
  const ServiceHandle service(CreateServiceW(manager.get(), kServiceName, L"notavero-serve",
                                             SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                             nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() == nullptr) {
    const bool exists = GetLastError() == ERROR_SERVICE_EXISTS;
    const std::string why = Failure("cannot create the service");
    std::cerr << "notavero-serve install: " << why
              << (exists ? "; `notavero-serve uninstall` removes the one there" : "") << "\n";
    return 1;
  }
  std::wstring description =
      L"Bill validators over local HTTP and WebSocket, every bill in the money journal.";
  SERVICE_DESCRIPTIONW text{description.data()};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
  // Started again 2 s after a crash, as the systemd unit restarts it.
  SC_ACTION restart{SC_ACTION_RESTART, 2000};
  SERVICE_FAILURE_ACTIONSW actions{};
  actions.dwResetPeriod = 86400;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
  std::wcout << L"notavero-serve: installed the service " << kServiceName << L": " << command
             << L"\nstart it with: sc start " << kServiceName << L"\n";
  return 0;
}

int Uninstall() {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) {
    const std::string why = Failure("cannot open the service control manager");
    std::cerr << "notavero-serve uninstall: " << why << " (run it as an administrator)\n";
    return 1;
  }
  const ServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.get() == nullptr) {
    const std::string why = Failure("no service to remove");
    std::cerr << "notavero-serve uninstall: " << why << "\n";
    return 1;
  }
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    // The stop returns a bill in escrow and journals it: wait for it.
    for (DWORD waited = 0; status.dwCurrentState != SERVICE_STOPPED && waited < kStopWaitHintMs + 5000;
         waited += 250) {
      Sleep(250);
      if (!QueryServiceStatus(service.get(), &status)) {
        break;
      }
    }
    std::cout << "notavero-serve: stopped the service"
              << (status.dwCurrentState == SERVICE_STOPPED ? "" : " (it had not ended yet)") << "\n";
  }
  if (!DeleteService(service.get())) {
    const std::string why = Failure("cannot remove the service");
    std::cerr << "notavero-serve uninstall: " << why << "\n";
    return 1;
  }
  std::cout << "notavero-serve: removed the service; its state directory stays\n";
  return 0;
}

}  // namespace

void PrepareStop() {
  MakeEvents();
  if (g_status == nullptr) {
    SetConsoleCtrlHandler(OnConsole, TRUE);
  }
}

void WaitForStop() {
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopWaitHintMs);
}

void NotifyReady() {
  Report(SERVICE_RUNNING);
}

void RestrictNewFiles() {}

}  // namespace notavero::service

int main(int argc, char** argv) {
  using namespace notavero::service;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string command = args.empty() ? "" : args[0];
  if (command == "install") {
    return Install({args.begin() + 1, args.end()});
  }
  if (command == "uninstall") {
    return Uninstall();
  }
  if (command == "run") {
    g_service_args.assign(args.begin() + 1, args.end());
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
      const bool console = GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
      const std::string why = Failure("not started by the service control manager");
      std::cerr << "notavero-serve run: " << why
                << (console ? "; `sc start notavero-serve` starts the installed service, and notavero-serve "
                              "without `run` runs as a console program"
                            : "")
                << "\n";
      return 1;
    }
    return 0;
  }
  MakeEvents();
  const int status = Serve(argc, argv);
  SetEvent(g_done);
  return status;
}
