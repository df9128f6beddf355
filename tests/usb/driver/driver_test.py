#!/usr/bin/env python3
"""The tests' USB driver under Wine through the system's own calls (usb_driver_probe), against
the simulator's USB front: the interface present only while the driver reaches the reader, the
set-up and transceive controls with the output length the reader's answer has, the reader's
refusal of a too small buffer, and a control the reader never answers ended by the driver's
cancel routine (ERROR_OPERATION_ABORTED soon after CancelIo, not left to the channel's grace).
Run under scripts/with-wine.

    driver_test.py --sim S --probe P.exe --usb-driver D.sys --usb-driver-setup I.exe
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import wine_usb_driver

INTERFACE = r"\\\\\?\\root#zarntest#0000#\{86937937-b00f-447f-99bc-3d572df87786\}"
# The probe's third transceive is the one the reader does not answer.
EXPECTED = [
    r"interfaces 1 " + INTERFACE,
    r"setup 0 0",
    r"serial 0 00 78 56 34 12",     # status byte 00, serial 12 34 56 78 (little-endian)
    r"small 122 0",                 # ERROR_INSUFFICIENT_BUFFER, no output
    r"cancel 995 (\d+)",            # ERROR_OPERATION_ABORTED
]
CANCEL_BOUND_MS = 500  # the channel's grace after CancelIo is 1000 ms


def probe(args, env, *extra):
    out = subprocess.run(["wine", args.probe, *extra], env=env, stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=60)
    return out.stdout.decode("latin-1").replace("\r\n", "\n").splitlines()


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def main():
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--probe", "--usb-driver", "--usb-driver-setup"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    env = dict(os.environ, WINEDEBUG="-all")
    problems = []
    lock = wine_usb_driver.claim(os.environ["ZARN_WINE_COM_LINKS"])
    with tempfile.TemporaryDirectory(prefix="zd-", dir="/tmp") as temp:
        root = pathlib.Path(temp) / "if"
        sim = subprocess.Popen([args.sim, "--usb-root", str(root), "--drop-answer", "3",
                                "--transcript", str(pathlib.Path(temp) / "transcript.txt")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        front = None
        try:
            if not wait_for(lambda: any(p.is_socket() for p in root.rglob("*")), 10):
                raise RuntimeError("the simulator's interface did not appear")
            front = wine_usb_driver.LoopbackFront(next(p for p in root.rglob("*")
                                                       if p.is_socket()))
            wine_usb_driver.prepare(args.usb_driver_setup, args.usb_driver, front.port, env)
            if not front.greeted.wait(20):
                raise RuntimeError("the prefix's driver did not reach the simulator")
            lines = probe(args, env)
            print("\n".join(lines))
            if len(lines) != len(EXPECTED) or not all(
                    re.fullmatch(want, line) for want, line in zip(EXPECTED, lines)):
                problems.append(f"probe printed {lines}, expected {EXPECTED}")
            elif int(re.fullmatch(EXPECTED[-1], lines[-1]).group(1)) > CANCEL_BOUND_MS:
                problems.append(f"the cancel took {lines[-1].split()[-1]} ms")
            # The reader gone: the driver takes its interface away.
            front.close()
            front = None
            if not wait_for(lambda: probe(args, env, "count") == ["interfaces 0 -"], 10):
                problems.append("the interface is still present after the reader went away")
        finally:
            if front is not None:
                front.close()
            sim.terminate()
            sim.wait()
            lock.close()
    if problems:
        print("\n".join(problems))
        return 1
    print("usb driver: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
