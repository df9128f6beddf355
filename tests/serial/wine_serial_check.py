#!/usr/bin/env python3
"""Runs the Windows serial port's tests under Wine against a pty that answers as a UART.

COM8 of the prefix (scripts/with-wine maps COM1..COM9 to links in $ZARN_WINE_COM_LINKS) is
pointed at a fresh pty whose master this script holds as the peer: it echoes every byte back.
The tests steer it through files in a control folder, named to them (as a Windows path) in
ZARN_WINE_PEER_CONTROL: "pause" stops reading, "resume" reads again, "hangup" closes the master
(and opens a fresh pty for the next opening). The peer deletes each file once it has acted.

    wine_serial_check.py --exe serial_port_win32_tests.exe --uart-pty libzarn_wine_uart_pty.so
"""
import argparse
import fcntl
import os
import pathlib
import select
import subprocess
import sys
import tempfile
import threading
import tty

PORT = 8


class Peer:
    def __init__(self, link, control):
        self.link = link
        self.control = control
        self.paused = False
        self.done = False
        self.master = None
        self.open_pty()

    def open_pty(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)  # Wine sets its own line; raw until then, so nothing is echoed twice
        path = os.ttyname(slave)
        os.close(slave)
        temporary = self.link.with_name(self.link.name + ".new")
        temporary.unlink(missing_ok=True)
        temporary.symlink_to(path)
        os.replace(temporary, self.link)

    def obey(self):
        for command in ("pause", "resume", "hangup"):
            order = self.control / command
            if not order.exists():
                continue
            if command == "hangup":
                os.close(self.master)
                self.open_pty()
            self.paused = command == "pause"
            order.unlink()

    def run(self):
        while not self.done:
            self.obey()
            if self.paused:
                select.select([], [], [], 0.01)
                continue
            ready, _, _ = select.select([self.master], [], [], 0.01)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:  # no one holds the slave open: look again shortly
                select.select([], [], [], 0.01)
                continue
            view = memoryview(data)
            while view:
                written = os.write(self.master, view)
                view = view[written:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--uart-pty", required=True)
    args = parser.parse_args()
    links = pathlib.Path(os.environ["ZARN_WINE_COM_LINKS"])
    link = links / f"com{PORT}"
    with open(links / f"com{PORT}.lock", "w") as lock, \
            tempfile.TemporaryDirectory(prefix="zs-", dir="/tmp") as temp:
        fcntl.flock(lock, fcntl.LOCK_EX)
        control = pathlib.Path(temp)
        peer = Peer(link, control)
        thread = threading.Thread(target=peer.run)
        thread.start()
        windows_control = "Z:" + str(control).replace("/", "\\")
        env = dict(os.environ, WINEDEBUG="-all", LD_PRELOAD=os.path.abspath(args.uart_pty),
                   ZARN_WINE_TEST_COM=str(PORT), ZARN_WINE_PEER_CONTROL=windows_control)
        try:
            result = subprocess.run(["wine", args.exe], env=env, timeout=240)
        finally:
            peer.done = True
            thread.join()
            os.close(peer.master)
            link.unlink()
            link.symlink_to(links / "absent")
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
