#!/usr/bin/env python3
"""One whole upgrade of the real binary under valgrind memcheck, against the simulator.

Runs an end-to-end scenario of tests/e2e (its console transcript, image check and bounds) with
the tool started under memcheck, and requires a clean report: no memory error, no leak of any
kind, and no descriptor open at exit beyond the three standard ones.

    valgrind_upgrade.py --tool T --sim S --ifd I SCENARIO     (exit 77: valgrind missing)
"""
import argparse
import os
import pathlib
import re
import shutil
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import e2e  # noqa: E402

SKIP = 77
MEMCHECK = ["--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all", "--track-fds=yes", "--error-exitcode=99"]


def opened_by_tool(text):
    """The descriptors open at exit that the tool opened itself (not the standard ones, not
    those it inherited, such as memcheck's own log)."""
    found = re.findall(r"Open file descriptor (\d+): ([^\n]*)\n==\d+==\s+(\S[^\n]*)", text)
    return [f"{fd}: {what}" for fd, what, origin in found
            if int(fd) > 2 and origin != "<inherited from parent>"]


def report_problems(log):
    text = log.read_text() if log.exists() else ""
    problems = []
    if not re.search(r"ERROR SUMMARY: 0 errors", text):
        problems.append("memcheck reported errors")
    if "All heap blocks were freed" not in text and not re.search(
            r"definitely lost: 0 bytes.*indirectly lost: 0 bytes.*possibly lost: 0 bytes", text,
            re.S):
        problems.append("memcheck reported leaks")
    if "FILE DESCRIPTORS:" not in text or opened_by_tool(text):
        problems.append(f"descriptors left open at exit: {opened_by_tool(text)}")
    if problems:
        problems.append(f"--- memcheck report\n{text}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--ifd", required=True)
    parser.add_argument("scenario")
    args = parser.parse_args()
    args.wine = False  # the Linux build only: valgrind cannot follow a tool under Wine
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("skipped: valgrind is not installed")
        return SKIP
    for name in ("tool", "sim", "ifd"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    # memcheck slows the tool down many times: a wider bound than the plain run's.
    plan = dict(e2e.SCENARIOS[args.scenario], seconds=180)
    with tempfile.TemporaryDirectory(prefix="zv-", dir="/tmp") as temp:
        work = pathlib.Path(temp)
        log = work / "memcheck.log"
        wrapper = work / "tool-under-memcheck"
        wrapper.write_text("#!/bin/sh\nexec " + " ".join(
            [valgrind, f"--log-file={log}"] + MEMCHECK + [args.tool]) + ' "$@"\n')
        wrapper.chmod(0o755)
        args.tool = str(wrapper)
        run = e2e.Run(args, args.scenario, plan, work)
        try:
            run.start_sim()
            tool, elapsed = run.run_tool()
        finally:
            run.stop()
        problems = e2e.check(run, tool, elapsed, update=False) + report_problems(log)
        if problems:
            print("\n".join(problems))
            return 1
    print(f"{args.scenario} under memcheck: clean, {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
