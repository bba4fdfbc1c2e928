#!/usr/bin/env python3
"""Plays the device for the serial port's Wine tests: opens a pseudo-terminal,
links its slave as a Wine COM port and echoes every byte it receives.

usage: pty_device.py LINK READY_FILE

LINK is the dosdevices entry to create (for instance $WINEPREFIX/dosdevices/com5);
READY_FILE is written once the link is in place.  Runs until SIGTERM.

The process takes the pty as its controlling terminal in a session of its
own: otherwise wineserver, the first to open the slave without O_NOCTTY,
adopts it and is sent SIGHUP when the device side closes.  It also keeps
the slave open, so that the line does not hang up between test programs.
"""
import fcntl
import os
import select
import signal
import sys
import termios
import tty


def main():
    link, ready = sys.argv[1], sys.argv[2]
    if os.fork() != 0:  # the child is no process group leader and can start a session
        os._exit(0)
    os.setsid()
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    tty.setraw(slave)
    name = os.ttyname(slave)
    if os.path.lexists(link + ".new"):
        os.unlink(link + ".new")
    os.symlink(name, link + ".new")
    os.rename(link + ".new", link)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    with open(ready + ".tmp", "w") as f:
        f.write(f"{os.getpid()} {name}\n")
    os.rename(ready + ".tmp", ready)
    while not stopping:
        try:
            readable, _, _ = select.select([master], [], [], 0.5)
        except InterruptedError:
            continue
        if not readable:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            continue
        view = memoryview(data)
        while view:
            view = view[os.write(master, view):]
    # The link may lead to another device by now (the next test's).
    if os.path.islink(link) and os.readlink(link) == name:
        os.unlink(link)


if __name__ == "__main__":
    main()
