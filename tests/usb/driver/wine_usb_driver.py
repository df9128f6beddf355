"""The tests' USB driver under Wine (usb_test_driver_win32.c), seen from the Linux side.

A driver in Wine's winedevice.exe cannot reach the simulator's SOCK_SEQPACKET interface socket
(Winsock has no such sockets), so it reaches it over loopback TCP through LoopbackFront: each
message of the driver socket protocol (docs/usb-driver-channel.md) travels as a u32
little-endian length and the message. A connection is first greeted with an empty message once
the simulator's socket has taken it; while the simulator's interface is away (its restart) a
connection is closed at once, ungreeted, and the driver keeps its interface disabled.

prepare() installs the driver into the prefix (once) and points it at a front's port; runs of
the driver take turns, as the driver is the prefix's.
"""
import fcntl
import os
import pathlib
import socket
import struct
import subprocess
import threading

GREETING = struct.pack("<I", 0)


def receive_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


class LoopbackFront:
    """A TCP listener on 127.0.0.1 that carries each connection to the simulator's interface
    socket at socket_path."""

    def __init__(self, socket_path):
        self.socket_path = socket_path
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.greeted = threading.Event()  # a driver connection reached the simulator
        self.closed = False
        self.connections = []
        self.lock = threading.Lock()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                driver, _ = self.listener.accept()
            except OSError:
                return
            driver.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sim = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                sim.connect(str(self.socket_path))
            except OSError:
                sim.close()
                driver.close()
                continue
            with self.lock:
                if self.closed:
                    sim.close()
                    driver.close()
                    return
                self.connections += [driver, sim]
            driver.sendall(GREETING)
            self.greeted.set()
            threading.Thread(target=self.requests, args=(driver, sim), daemon=True).start()
            threading.Thread(target=self.replies, args=(driver, sim), daemon=True).start()

    @staticmethod
    def end(driver, sim):
        for connection in (driver, sim):
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def requests(self, driver, sim):
        try:
            while True:
                length = struct.unpack("<I", receive_exactly(driver, 4))[0]
                sim.send(receive_exactly(driver, length))
        except OSError:
            self.end(driver, sim)

    def replies(self, driver, sim):
        try:
            while True:
                message = sim.recv(65536)
                if not message:
                    break
                driver.sendall(struct.pack("<I", len(message)) + message)
        except OSError:
            pass
        self.end(driver, sim)

    def close(self):
        with self.lock:
            self.closed = True
            for connection in self.connections:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                connection.close()
        self.listener.close()


def quiet_wine(command, env):
    """A Wine program whose output does not go to our pipes: a service it starts would keep
    them open in winedevice.exe."""
    log = pathlib.Path(env.get("TMPDIR", "/tmp")) / f"zarn-usb-driver-{os.getpid()}.log"
    with open(log, "w+") as output:
        code = subprocess.call(["wine"] + command, env=env, stdin=subprocess.DEVNULL,
                               stdout=output, stderr=output, timeout=60)
        output.seek(0)
        text = output.read()
    log.unlink()
    if code != 0:
        raise RuntimeError(f"{' '.join(command)} ended with {code}: {text}")


def claim(links):
    """Runs of the prefix's driver take turns (the lock is held until the returned file
    closes)."""
    lock = open(pathlib.Path(links) / "usb-driver.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


def prepare(setup, driver, port, env):
    """Installs the driver (a no-op once it runs) and points it at the front's port."""
    quiet_wine([setup, "install", driver], env)
    quiet_wine([setup, "port", str(port)], env)
