#!/usr/bin/env python3
"""The block transfer of a COM upgrade, the Linux tool beside the Windows tool under Wine.

Each round runs `zarn-upgrade COM7 9600 0 RATE` against zarn-reader-sim pacing the pty, once per
tool and rate, and times the image blocks on the simulator's transcript (from the first block
request to the last, scaled to all blocks). At a rate given as RATE:N the tool is stopped once N
blocks have been timed (a whole image at 9600 baud takes minutes). The wire time of those
exchanges is taken from transfer_bench's paced 115200 rounds in the same scripts/bench run
(bench.log) and scaled to each rate (the same frames, bit times RATE/115200 as long), so the
efficiencies stand beside its raw-replay row. Prints ROW lines as the other benchmarks do.
Needs scripts/with-wine around it for the Wine tools (ZARN_WINE_COM_LINKS).

    wine_transfer_bench.py --sim S --uart-pty L --bench-log LOG --linux T
                           --wine LABEL=T.exe [--wine ...] [--rate 115200 --rate 9600:60]
                           [--rounds N] [--row-prefix P]
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


def one_transfer(command, env, sim, uart_pty, rate, max_blocks):
    """Seconds per block of one upgrade at rate, or None when it did not pass."""
    with tempfile.TemporaryDirectory(prefix="zb-", dir="/tmp") as temp:
        work = pathlib.Path(temp)
        transcript = work / "transcript.txt"
        link = work / "com"
        reader = subprocess.Popen([sim, "--link", str(link), "--pace",
                                   "--transcript", str(transcript)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            while not link.exists():
                time.sleep(0.01)
            env = dict(env, **{f"ZARN_COM{PORT}": str(link)})
            if command[0] == "wine":
                wine_port = pathlib.Path(os.environ["ZARN_WINE_COM_LINKS"]) / f"com{PORT}"
                wine_port.unlink()
                wine_port.symlink_to(link)
                env.update(WINEDEBUG="-all", LD_PRELOAD=uart_pty)
            clock = TranscriptClock(transcript)
            output = work / "output.txt"
            with open(output, "wb") as sink:
                tool = subprocess.Popen(command + [f"COM{PORT}", "9600", "0", str(rate)],
                                        stdin=subprocess.PIPE, stdout=sink,
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
            stamps = clock.stop()
        finally:
            reader.terminate()
            reader.wait()
            if command[0] == "wine":
                wine_port.unlink()
                wine_port.symlink_to(wine_port.parent / "absent")
        printed = output.read_bytes()
        passed = (len(stamps) > max_blocks if max_blocks
                  else b"upgraded successfully" in printed)
        if not passed or len(stamps) < 2:
            print(printed.decode("latin-1")[-800:], file=sys.stderr)
            return None, len(stamps)
        return (stamps[-1] - stamps[0]) / (len(stamps) - 1), len(stamps)


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
    parser.add_argument("--row-prefix", default="7. COM upgrade's blocks")
    args = parser.parse_args()
    rates = args.rate or [(115200, 0)]
    tools = [("Linux build", [os.path.abspath(args.linux)])]
    tools += [(label, ["wine", os.path.abspath(exe)])
              for label, exe in (entry.split("=", 1) for entry in args.wine)]
    wire = wire_seconds(args.bench_log)
    for rate, max_blocks in rates:
        per_block = {label: [] for label, _ in tools}
        for number in range(1, args.rounds + 1):
            for label, command in tools:
                seconds, blocks_seen = one_transfer(command, dict(os.environ), args.sim,
                                                    os.path.abspath(args.uart_pty), rate,
                                                    max_blocks)
                print(f"{rate} baud, round {number}, {label}: "
                      + (f"{seconds * 1e3:.3f} ms/block over {blocks_seen} blocks" if seconds
                         else f"did not pass ({blocks_seen} blocks seen)"), file=sys.stderr)
                if seconds:
                    per_block[label].append(seconds)
        # The image's block count: the full runs see every block; wire per block does not
        # depend on how many were timed.
        wire_block = wire / IMAGE_BLOCKS * 115200 / rate if wire else None
        print_rows(args.row_prefix, rate, tools, per_block, wire_block)
    return 0


def print_rows(prefix, rate, tools, per_block, wire_block):
    linux = statistics.median(per_block["Linux build"]) if per_block["Linux build"] else None
    for label, _ in tools[1:]:
        name = f"{prefix}, pty paced at {rate}, Wine: {label}"
        if not per_block[label]:
            print(f"ROW\t{name}\tno transfer passed\t\t\t\tsee bench.log", flush=True)
            continue
        wine = statistics.median(per_block[label])
        tool = f"{wine * 1e3:.2f} ms/block"
        reference = f"Linux build {linux * 1e3:.2f} ms/block" if linux else "Linux build failed"
        if wire_block:
            tool += f", {wire_block / wine:.1%}"
            if linux:
                reference += f", {wire_block / linux:.1%}"
            reference += f"; wire {wire_block * 1e3:.2f} ms/block"
        ratio = wine / linux if linux else None
        result = f"{ratio:.3f}x" if ratio else ""
        verdict = ("met" if ratio <= 1.05 else "NOT met") if ratio else "see bench.log"
        print(f"ROW\t{name} (Wine, not Windows)\t{tool}\t{reference}\t{result}\t<= 1.05x"
              f"\t{verdict}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
