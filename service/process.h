// How the service's process meets its system: what tells it to stop
// (SIGINT and SIGTERM; Ctrl+C, a closed console or the service control
// manager's stop), whom it tells that it is ready (systemd; the service
// control manager) and how its new files stay private.  One file for each
// system, each with the program's main(): process_posix.cpp,
// process_win32.cpp.  main.cpp holds the service itself.
#pragma once

namespace notavero::service {

// The service: its options (argv[0] is the program), run until the stop.
// Returns the process's exit status.  In main.cpp.
int Serve(int argc, char** argv);

// Before any thread starts: the stop is caught from now on.
void PrepareStop();
// Returns when the service is told to stop.
void WaitForStop();
// The service listens and its validators run.
void NotifyReady();
// Files made from now on are the service's alone (umask 077; on Windows the
// state directory's access list, which its files inherit).
void RestrictNewFiles();

}  // namespace notavero::service
