#!/usr/bin/env python3
"""The block transfer of an upgrade over the reader's own USB driver: the Linux tool over its
driver socket beside the Windows tool under Wine through the tests' driver
(tests/usb/driver), both against zarn-reader-sim's USB front in the same run.

Each round runs `zarn-upgrade` (no arguments: no PC/SC service, so the driver channel) once per
tool against a fresh simulator and times the image blocks on its transcript (from the first
block request to the last). Under Wine each control goes through wineserver into the driver in
winedevice.exe, over loopback TCP to the runner's front and on to the simulator's socket.
Prints one ROW line as the other benchmarks do; it reports, it sets no target. Needs
scripts/with-wine around it (ZARN_WINE_COM_LINKS, the prefix's driver).

    wine_usb_driver_bench.py --sim S --linux T --wine T.exe --usb-driver D.sys
                             --usb-driver-setup I.exe [--rounds N]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "usb" / "driver"))
import wine_transfer_bench  # noqa: E402  (the transcript clock)
import wine_usb_driver  # noqa: E402  (the tests' driver under Wine)


def one_upgrade(args, wine):
    """Seconds per block of one upgrade, or None when it did not pass."""
    with tempfile.TemporaryDirectory(prefix="zb-", dir="/tmp") as temp:
        work = pathlib.Path(temp)
        transcript = work / "transcript.txt"
        root = work / "if"
        reader = subprocess.Popen([args.sim, "--usb-root", str(root), "--transcript",
                                   str(transcript)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        env = dict(os.environ, ZARN_DEVICE_INTERFACES=str(root),
                   PCSCLITE_CSOCK_NAME=str(work / "no-pcscd"), WINEDEBUG="-all")
        front = lock = None
        try:
            deadline = time.monotonic() + 10
            while not any(p.is_socket() for p in root.rglob("*")):
                if time.monotonic() > deadline:
                    raise RuntimeError("the simulator's interface did not appear")
                time.sleep(0.01)
            command = [os.path.abspath(args.linux)]
            if wine:
                lock = wine_usb_driver.claim(os.environ["ZARN_WINE_COM_LINKS"])
                front = wine_usb_driver.LoopbackFront(next(p for p in root.rglob("*")
                                                           if p.is_socket()))
                wine_usb_driver.prepare(args.usb_driver_setup, args.usb_driver, front.port, env)
                if not front.greeted.wait(20):
                    raise RuntimeError("the prefix's driver did not reach the simulator")
                command = ["wine", os.path.abspath(args.wine)]
            clock = wine_transfer_bench.TranscriptClock(transcript)
            tool = subprocess.run(command, input=b"\n", stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, env=env, cwd=work, timeout=300)
            stamps = clock.stop()
        finally:
            if front is not None:
                front.close()
                lock.close()
            reader.terminate()
            reader.wait()
        if b"upgraded successfully" not in tool.stdout or len(stamps) < 2:
            print(tool.stdout.decode("latin-1")[-800:], file=sys.stderr)
            return None, len(stamps)
        return (stamps[-1] - stamps[0]) / (len(stamps) - 1), len(stamps)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--linux", "--wine", "--usb-driver", "--usb-driver-setup"):
        parser.add_argument(name, required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--label", default="Wine 8")
    args = parser.parse_args()
    per_block = {False: [], True: []}
    for number in range(1, args.rounds + 1):
        for wine in (False, True):
            seconds, blocks = one_upgrade(args, wine)
            label = "Windows build under Wine" if wine else "Linux build"
            print(f"USB driver round {number}, {label}: "
                  + (f"{seconds * 1e3:.3f} ms/block over {blocks} blocks" if seconds
                     else f"did not pass ({blocks} blocks seen)"), file=sys.stderr)
            if seconds:
                per_block[wine].append(seconds)
    name = f"9. USB driver upgrade's blocks, {args.label}: the tests' driver (Wine, not Windows)"
    if not per_block[True] or not per_block[False]:
        print(f"ROW\t{name}\tno transfer passed\t\t\t\tsee bench.log", flush=True)
        return 0
    wine = statistics.median(per_block[True])
    linux = statistics.median(per_block[False])
    print(f"ROW\t{name}\t{wine * 1e3:.2f} ms/block\tLinux build over its driver socket "
          f"{linux * 1e3:.2f} ms/block\t{wine / linux:.2f}x\tnone (reported)\t-", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
