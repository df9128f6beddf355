#!/usr/bin/env python3
"""The block transfer of an upgrade, the Linux tool beside the Windows tool under Wine.

Each round runs `zarn-upgrade COM7 9600 0 RATE` against zarn-reader-sim pacing the pty, once per
tool and rate, and times the image blocks on the simulator's transcript (from the first block
request to the last, scaled to all blocks). At a rate given as RATE:N the tool is stopped once N
blocks have been timed (a whole image at 9600 baud takes minutes). The wire time of those
exchanges is taken from transfer_bench's paced 115200 rounds in the same scripts/bench run
(bench.log) and scaled to each rate (the same frames, bit times RATE/115200 as long), so the
efficiencies stand beside its raw-replay row. With --pcsc each round is a PC/SC upgrade
instead, against the simulator behind a private pcscd (for the Windows tool its handler takes
Windows' escape code): that needs root and a Wine whose winscard reaches pcsc-lite (Wine 10, in
scripts/debian-root's trixie-wine). Prints ROW lines as the other benchmarks do. Needs
scripts/with-wine around it for the Wine tools (ZARN_WINE_COM_LINKS).

    wine_transfer_bench.py --sim S --uart-pty L --bench-log LOG --linux T
                           --wine LABEL=T.exe [--wine ...] [--rate 115200 --rate 9600:60]
                           [--rounds N] [--pcsc --ifd I]
"""
import argparse
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PORT = 7
ROOT = pathlib.Path(__file__).resolve().parent.parent
IMAGE_BLOCKS = 732  # the AT32 image's blocks, which the simulator's reader asks for
BLOCK_REQUEST = re.compile(r"^request (\d+): (?:[0-9A-F]{2} ){100,}")


class TranscriptClock:
    """Tails the simulator's transcript and stamps each block request as it is written."""

    def __init__(self, path):
        self.path = path
        self.stamps = []
        self.done = False
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.path.exists() and not self.done:
            time.sleep(0.001)
        with open(self.path, encoding="latin-1") as transcript:
            partial = ""
            while not self.done:
                chunk = transcript.read()
                if not chunk:
                    time.sleep(0.0005)
                    continue
                now = time.monotonic()
                lines = (partial + chunk).split("\n")
                partial = lines.pop()
                self.stamps += [now for line in lines if BLOCK_REQUEST.match(line)]

    def stop(self):
        self.done = True
        self.thread.join()
        return self.stamps


def wire_seconds(log):
    """transfer_bench's wire time of the tool's 115200 transfer (median over its rounds)."""
    found = re.findall(r"paced 115200 round \d+: tool [\d.]+ s for ([\d.]+) s of wire time",
                       pathlib.Path(log).read_text() if pathlib.Path(log).exists() else "")
    return statistics.median(map(float, found)) if found else None


def start_pcscd(work, socket, ifd, windows_driver):
    """A private pcscd for the simulator's socket; returns its PCSCLITE_CSOCK_NAME."""
    driver = ["--windows-driver"] if windows_driver else []
    out = subprocess.run([str(ROOT / "scripts" / "sim-pcscd"), "start"] + driver +
                         [str(work / "pcscd"), str(socket), ifd],
                         capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        raise RuntimeError(f"the private pcscd did not start: {out.stdout}{out.stderr}")
    return re.search(r"PCSCLITE_CSOCK_NAME=(\S+)", out.stdout).group(1)


def run_tool(command, env, work, clock, max_blocks):
    """Runs the tool to its end, or until max_blocks blocks were timed; returns its output."""
    output = work / "output.txt"
    with open(output, "wb") as sink:
        tool = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=sink,
                                stderr=subprocess.STDOUT, env=env, cwd=work)
        tool.stdin.write(b"\n")
        tool.stdin.close()
        deadline = time.monotonic() + 300
        while tool.poll() is None and time.monotonic() < deadline:
            if max_blocks and len(clock.stamps) > max_blocks:
                break
            time.sleep(0.05)
        if tool.poll() is None:
            tool.kill()
        tool.wait()
    return output.read_bytes()


def one_transfer(command, env, args, rate, max_blocks):
    """Seconds per block of one upgrade, or None when it did not pass."""
    wine = command[0] == "wine"
    with tempfile.TemporaryDirectory(prefix="zb-", dir="/tmp") as temp:
        work = pathlib.Path(temp)
        transcript = work / "transcript.txt"
        link = work / "sim.sock" if args.pcsc else work / "com"
        front = ["--pcsc-socket", str(link)] if args.pcsc else ["--link", str(link), "--pace"]
        reader = subprocess.Popen([args.sim, "--transcript", str(transcript)] + front,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pcscd = False
        try:
            while not link.exists():
                time.sleep(0.01)
            env = dict(env, ZARN_DEVICE_INTERFACES=str(work / "no-usb"))
            if wine:
                env.update(WINEDEBUG="-all")
            if args.pcsc:
                env["PCSCLITE_CSOCK_NAME"] = start_pcscd(work, link, args.ifd, wine)
                pcscd = True
                tool_args = []
            else:
                env[f"ZARN_COM{PORT}"] = str(link)
                env["PCSCLITE_CSOCK_NAME"] = str(work / "no-pcscd")
                tool_args = [f"COM{PORT}", "9600", "0", str(rate)]
            if wine and not args.pcsc:
                wine_port = pathlib.Path(os.environ["ZARN_WINE_COM_LINKS"]) / f"com{PORT}"
                wine_port.unlink()
                wine_port.symlink_to(link)
                env.update(LD_PRELOAD=os.path.abspath(args.uart_pty))
            clock = TranscriptClock(transcript)
            printed = run_tool(command + tool_args, env, work, clock, max_blocks)
            stamps = clock.stop()
        finally:
            if pcscd:
                subprocess.run([str(ROOT / "scripts" / "sim-pcscd"), "stop", str(work / "pcscd")],
                               capture_output=True, timeout=30)
            reader.terminate()
            reader.wait()
            if wine and not args.pcsc:
                wine_port.unlink()
                wine_port.symlink_to(wine_port.parent / "absent")
        passed = (len(stamps) > max_blocks if max_blocks
                  else b"upgraded successfully" in printed)
        if not passed or len(stamps) < 2:
            print(printed.decode("latin-1")[-800:], file=sys.stderr)
            return None, len(stamps)
        return (stamps[-1] - stamps[0]) / (len(stamps) - 1), len(stamps)


def per_block_text(seconds, pcsc):
    """A COM block takes tens of milliseconds, a PC/SC block tens of microseconds."""
    return f"{seconds * 1e6:.1f} us/block" if pcsc else f"{seconds * 1e3:.2f} ms/block"


def parse_rate(text):
    rate, _, blocks = text.partition(":")
    return int(rate), int(blocks) if blocks else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--uart-pty", required=True)
    parser.add_argument("--bench-log", required=True)
    parser.add_argument("--linux", required=True)
    parser.add_argument("--wine", action="append", default=[])
    parser.add_argument("--rate", action="append", type=parse_rate, default=[])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pcsc", action="store_true")
    parser.add_argument("--ifd")
    args = parser.parse_args()
    if args.pcsc:
        args.ifd = os.path.abspath(args.ifd)
    rates = [(0, 0)] if args.pcsc else args.rate or [(115200, 0)]
    tools = [("Linux build", [os.path.abspath(args.linux)])]
    tools += [(label, ["wine", os.path.abspath(exe)])
              for label, exe in (entry.split("=", 1) for entry in args.wine)]
    wire = None if args.pcsc else wire_seconds(args.bench_log)  # PC/SC: no line to pace
    for rate, max_blocks in rates:
        per_block = {label: [] for label, _ in tools}
        for number in range(1, args.rounds + 1):
            for label, command in tools:
                seconds, blocks_seen = one_transfer(command, dict(os.environ), args, rate,
                                                    max_blocks)
                print(f"{rate or 'PC/SC'} baud, round {number}, {label}: "
                      + (f"{per_block_text(seconds, args.pcsc)} over {blocks_seen} blocks"
                         if seconds else f"did not pass ({blocks_seen} blocks seen)"),
                      file=sys.stderr)
                if seconds:
                    per_block[label].append(seconds)
        # Wire time per block does not depend on how many blocks were timed.
        wire_block = wire / IMAGE_BLOCKS * 115200 / rate if wire else None
        print_rows(args.pcsc, rate, tools, per_block, wire_block)
    return 0


def print_rows(pcsc, rate, tools, per_block, wire_block):
    linux = statistics.median(per_block["Linux build"]) if per_block["Linux build"] else None
    for label, _ in tools[1:]:
        name = (f"8. PC/SC upgrade's blocks, private pcscd, {label}" if pcsc else
                f"7. COM upgrade's blocks, pty paced at {rate}, {label}")
        name += " (Wine, not Windows)"
        if not per_block[label]:
            print(f"ROW\t{name}\tno transfer passed\t\t\t\tsee bench.log", flush=True)
            continue
        wine = statistics.median(per_block[label])
        tool = per_block_text(wine, pcsc)
        reference = (f"Linux build {per_block_text(linux, pcsc)}" if linux
                     else "Linux build failed")
        if wire_block:
            tool += f", {wire_block / wine:.1%}"
            if linux:
                reference += f", {wire_block / linux:.1%}"
            reference += f"; wire {wire_block * 1e3:.2f} ms/block"
        ratio = wine / linux if linux else None
        result = f"{ratio:.3f}x" if ratio else ""
        # The COM rows have a target; the PC/SC rows scatter too much under load to rank.
        target, verdict = ("", "recorded") if pcsc else (
            "<= 1.05x", ("met" if ratio <= 1.05 else "NOT met") if ratio else "see bench.log")
        print(f"ROW\t{name}\t{tool}\t{reference}\t{result}\t{target}\t{verdict}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
