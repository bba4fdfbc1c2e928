#!/usr/bin/env python3
"""Runs notavero-sim for the Wine end-to-end test and links its pseudo-terminal
as a Wine COM port.

usage: sim_line.py LINK READY_FILE LOG -- SIM_COMMAND...

SIM_COMMAND prints the pty's slave path as its first line.  This program
links LINK (for instance $WINEPREFIX/dosdevices/com5) to it, writes
"PID PATH" to READY_FILE, copies the simulator's further output to LOG and
keeps its stdin open.  On SIGTERM it sends the simulator 'quit' and waits for
it; it exits with the simulator's status.  Give the simulator --exit-on-eof:
then it also ends when this program ends in any other way.

It takes the pty as the controlling terminal of a session of its own:
otherwise wineserver, a session leader that opens the slave without
O_NOCTTY, adopts it and is sent SIGHUP when the simulator closes the master,
which would end the one wineserver of the test run.
"""
import fcntl
import os
import signal
import subprocess
import sys
import termios


class Stop(Exception):
    pass


def stop(*_):
    raise Stop()


def main():
    if len(sys.argv) < 6 or sys.argv[4] != "--":
        sys.exit(__doc__)
    link, ready, log = sys.argv[1:4]
    command = sys.argv[5:]
    if os.getpid() == os.getpgrp() and os.fork() != 0:
        os._exit(0)  # a process group leader cannot start a session; the child can
    os.setsid()
    # The hang-up when the simulator closes the master goes to this process.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)

    with open(log, "w") as out:
        sim = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=out, text=True)
        path = sim.stdout.readline().strip()
        if not path.startswith("/dev/"):
            out.write(f"sim_line: the simulator printed no pty path: {path!r}\n")
            sim.kill()
            sys.exit(1)
        tty = os.open(path, os.O_RDWR | os.O_NOCTTY)
        fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
        temporary = link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(path, temporary)
        os.rename(temporary, link)
        with open(ready + ".tmp", "w") as f:
            f.write(f"{os.getpid()} {path}\n")
        os.rename(ready + ".tmp", ready)

        # Copy the simulator's answers until it ends or SIGTERM arrives.
        signal.signal(signal.SIGTERM, stop)
        try:
            for line in sim.stdout:
                out.write(line)
                out.flush()
        except Stop:
            pass
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if sim.poll() is None:
            try:
                sim.stdin.write("quit\n")
                sim.stdin.flush()
            except OSError:
                pass
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()
                sim.wait()
        out.write(sim.stdout.read())
        if os.path.islink(link) and os.readlink(link) == path:
            os.unlink(link)
        os.close(tty)
        sys.exit(sim.returncode)


if __name__ == "__main__":
    main()
