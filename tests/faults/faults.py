#!/usr/bin/env python3
"""The fault matrix: the real zarn-upgrade binary against zarn-reader-sim, one fault per case.

Each case names the fault (a simulator scenario, or an action taken while the tool runs: the
simulator killed, pcscd stopped, standard input closed), the console transcript the tool must
print (clock times masked; <n> stands for a decimal number, <dots> for one or more dots where
the timing decides their count), the simulator's image check where the run gets that far, and
a bound on the run's time. Every case also checks that the tool ends with exit code 0, writes
to standard error only the case's expected reason lines (stderr, as in e2e.py; none by default)
and leaves no process behind in its session.

    faults.py --tool T --sim S --ifd I CASE     run one case (exit 77: skipped)
    faults.py --list                             the case names
"""
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import e2e  # noqa: E402  (the runner of the end-to-end tests: simulator, pcscd, environment)

SKIP = 77

BANNER = "HH:MM:SS Zarn Reader Upgrade\n"
COM_OPEN = "Device address on the bus = 0\nInterface COM5 ... is opened successfully\n"
USB_OPEN = "Interface USB is opened successfully\n"
IDENTIFIED = "Serial Number 12 34 56 78 \nOld Version   05 43 02 01 00 01 \n"
AT32 = "MCU Type  AT32F403ACGT7\n"
RULER = "Process:\n..................................\n"
COLONS = "::::::::::::::::::::::::::::::::::\n"
UPGRADED = ("Serial Number 12 34 56 78 \nNew Version   06 43 02 01 00 01 \n"
            "HH:MM:SS Zarn Reader is upgraded successfully\n")
PRESS = "Press <Enter> ..."


def block_failed(sent, error, internal=""):
    """The lines of a failed block: the bytes sent, the error (and the reader's status byte
    for a refusal), the closing colon, and the run's result 41 from the close-down."""
    return (RULER + "<colons>Sended = " + sent + "\nError = " + error + "\n" + internal + "\n"
            ":\nError = 0x00000029 (41)\n")


AFTER_20_BLOCKS = "0x00001400 (5120)"
TIMED_OUT = "0x000005B4 (1460)"


# Request numbers on the COM port (the simulator counts from 1): 1 the open probe, 2 serial
# number, 3 version, 4 identification, 5 loader request, 6 the first probe after the restart,
# 7 version, 8 identification, 9 baud rate, 10.. the 732 image blocks (block k is 9 + k).
# Over USB there is no open probe and no baud rate, and the restart wait asks twice: block k is
# request 8 + k. The actions on the running tool (the simulator killed, pcscd stopped) are
# taken while the reader holds back its answer to block 150, so that they always fall into
# the same exchange.
PREPARED_COM = BANNER + COM_OPEN + IDENTIFIED + AT32 + "Prepare .....\n"
PREPARED_USB = BANNER + USB_OPEN + IDENTIFIED + AT32 + "Prepare .....\n"

CASES = {
    # An answer lost on the way: the exchange waits its 1010 ms (USB: the driver's 3 s) and
    # the run ends with the time-out; no request is repeated.
    "com_answer_dropped_in_identification": dict(
        front="serial", sim=["--drop-answer", "4"], tool=["COM5"], seconds=15,
        expect=BANNER + COM_OPEN + IDENTIFIED + "MCU Type  unsupported\n"
        "Error = 0x000005B4 (1460)\n" + PRESS),
    "com_answer_dropped_in_transfer": dict(
        front="serial", sim=["--drop-answer", "30"], tool=["COM5"], seconds=25,
        expect=PREPARED_COM + block_failed(AFTER_20_BLOCKS, TIMED_OUT) + PRESS),
    "usb_answer_dropped_in_transfer": dict(
        front="usb", sim=["--drop-answer", "29"], tool=[], seconds=25,
        expect=PREPARED_USB + block_failed(AFTER_20_BLOCKS, "0x000003E4 (996)") + PRESS),
    # The answer comes a second after the driver's 3 s: the control was cancelled by then, the
    # late answer is no answer to anything.
    "usb_answer_late_in_transfer": dict(
        front="usb", sim=["--late", "29:4000"], tool=[], seconds=25,
        expect=PREPARED_USB + block_failed(AFTER_20_BLOCKS, "0x000003E4 (996)") + PRESS),
    # Answers the frame parser refuses count as no answer: the time-out, not the parser's code.
    "com_bad_check": dict(
        front="serial", sim=["--corrupt-check", "30"], tool=["COM5"], seconds=25,
        expect=PREPARED_COM + block_failed(AFTER_20_BLOCKS, TIMED_OUT) + PRESS),
    "com_wrong_sequence": dict(
        front="serial", sim=["--wrong-sequence", "30"], tool=["COM5"], seconds=25,
        expect=PREPARED_COM + block_failed(AFTER_20_BLOCKS, TIMED_OUT) + PRESS),
    "com_wrong_address": dict(
        front="serial", sim=["--address", "17", "--wrong-address", "30"],
        tool=["COM5", "9600", "17"], seconds=25,
        expect=PREPARED_COM.replace("bus = 0", "bus = 17") +
        block_failed(AFTER_20_BLOCKS, TIMED_OUT) + PRESS),
    # The first probe after the restart is answered 1.5 s late: it times out after 1010 ms
    # (one more dot), its answer arrives while the tool sleeps before the next probe and must
    # not be taken for that probe's answer (whose own answer would then turn up as a stray
    # frame in a later exchange and fail it). The upgrade goes on to the end.
    "com_answer_late_once": dict(
        front="serial", sim=["--late", "6:1500"], tool=["COM5"], image=True, seconds=40,
        expect=BANNER + COM_OPEN + IDENTIFIED + AT32 + "Prepare ......\n" + RULER + COLONS +
        "Check .....\n" + UPGRADED + PRESS),
    # The reader refuses a block: its status byte is reported at once.
    "usb_block_refused": dict(
        front="usb", sim=["--fail-block", "100:05"], tool=[], seconds=25,
        expect=PREPARED_USB + block_failed("0x00006300 (25344)", "0x80100001 (-2146435071)",
                                           "     Internal Error = 5 (0x05)") + PRESS),
    # The port vanishes mid-transfer: the simulator is killed and the pty's master closes.
    "com_port_vanishes": dict(
        front="serial", sim=["--late", "159:800"], tool=["COM5"], kill_sim_at=159, seconds=25,
        expect=PREPARED_COM + block_failed("0x00009500 (38144)", TIMED_OUT) + PRESS),
    # The reader's USB driver goes away mid-transfer (its connection closes).
    "usb_driver_vanishes": dict(
        front="usb", sim=["--late", "158:2000"], tool=[], kill_sim_at=158, seconds=25,
        expect=PREPARED_USB + block_failed("0x00009500 (38144)", "0x0000048F (1167)") + PRESS),
    # The PC/SC service stops mid-transfer: the exchange's own error ends the transfer; with
    # no serial or driver link open the close-down adds no error lines.
    "pcsc_service_stops": dict(
        front="pcsc", sim=["--late", "158:2000"], tool=[], stop_pcscd_at=158, seconds=25,
        expect=PREPARED_USB + RULER + "<colons>Sended = 0x00009500 (38144)\n"
        "Error = 0x80100013 (-2146435053)\n\n:\n" + PRESS),
    # The same faults over PC/SC: a lost answer ends the IFD handler's wait after 5 s, which
    # pcsc-lite reports with the code of a refused escape (hence the refusal's hint); an
    # answer whose status word is not 90 00 is refused at once.
    "pcsc_answer_dropped_in_transfer": dict(
        front="pcsc", sim=["--drop-answer", "29"], tool=[], seconds=30,
        expect=PREPARED_USB + RULER + "<colons>Sended = " + AFTER_20_BLOCKS + "\n"
        "Error = 0x80100016 (-2146435050)\n\n:\n" + PRESS,
        stderr=[e2e.LIBCCID_HINT], wine_stderr=[e2e.ESCAPE_COMMAND_ENABLE_HINT]),
    "pcsc_bad_status_word": dict(
        front="pcsc", sim=["--corrupt-check", "29"], tool=[], seconds=25,
        expect=PREPARED_USB + RULER + "<colons>Sended = " + AFTER_20_BLOCKS + "\n"
        "Error = 0x80100004 (-2146435068)\n\n:\n" + PRESS),
    # The reader never comes back from its restart into the loader: five probes, then the
    # last probe's time-out, and the reason with the framing the probes used.
    "com_reader_never_back": dict(
        front="serial", sim=["--slow-restart", "1:never"], tool=["COM5"], seconds=25,
        expect=BANNER + COM_OPEN + IDENTIFIED + AT32 + "Prepare ..........\n"
        "Error = 0x000005B4 (1460)\n" + PRESS,
        stderr=[r"zarn-upgrade: COM5 \(/tmp/ze-\w+/com\): the reader did not answer after its "
                r"restart into its loader at 9600 baud, bus address 0, framing N/1: check the "
                r"reader's baud rate and bus address, the wiring, and RS-485 direction control"]),
    # Standard input ends at the Y/N question (nobody can answer): the tool goes on as after a
    # waiting key, tries five more times and ends with the failed open's code.
    "usb_stdin_closed_at_question": dict(
        front="usb", sim=["--slow-restart", "2:never"], tool=[], stdin=b"", seconds=60,
        expect=PREPARED_USB + RULER + COLONS + "Check ....................\n"
        "Interface could not be opened,\ne.g. need to install driver Zarn USB zarnqscr.inf\n"
        "Continue (Y/N)?\n.....\n" + PRESS, stderr=[e2e.USB_NOT_OPENED, e2e.USB_NOT_OPENED]),
    # Standard input closed altogether (descriptor 0 not open) at the final prompt.
    "usb_stdin_closed_at_final_prompt": dict(
        front="usb", sim=[], tool=[], close_stdin=True, image=True, seconds=40,
        expect=PREPARED_USB + RULER + COLONS + "Check .....\n" + UPGRADED + PRESS),
}

# The cases that the Windows build runs under Wine (e2e.py --wine): on a COM port under every
# Wine, over PC/SC under Wine 10 (--wine --pcsc).
WINE_CASES = ["com_answer_dropped_in_transfer", "com_bad_check", "com_answer_late_once",
              "com_port_vanishes", "usb_answer_dropped_in_transfer",
              "usb_answer_late_in_transfer", "usb_block_refused", "usb_driver_vanishes"]
WINE_PCSC_CASES = ["pcsc_answer_dropped_in_transfer", "pcsc_bad_status_word",
                   "pcsc_service_stops"]

PLACEHOLDERS = {"<n>": r"-?\d+", "<hex>": r"[0-9A-F]{8}", "<dots>": r"\.+", "<colons>": r":*"}


def pattern(expected):
    parts = re.split("(" + "|".join(map(re.escape, PLACEHOLDERS)) + ")", expected)
    return "".join(PLACEHOLDERS.get(part, re.escape(part)) for part in parts)


def session_members(sid):
    """Processes still in the tool's session (the tool ran as its leader)."""
    members = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == sid:  # fields after the name: state, ppid, pgrp, session
            members.append(stat.parent.name)
    return members


class FaultRun(e2e.Run):
    """An end-to-end run whose tool runs in a session of its own, with the case's action taken
    when the simulator has seen the given number of requests."""

    def start_sim(self):
        super().start_sim()
        # The interface folder appears before the simulator's socket in it.
        if self.plan["front"] == "usb":
            e2e.wait_for(lambda: any(p.is_socket() for p in (self.work / "if").rglob("*")), 10)

    def run_tool(self):
        plan = self.plan
        started = time.monotonic()
        stdin = subprocess.DEVNULL if plan.get("close_stdin") else subprocess.PIPE
        tool = subprocess.Popen(self.tool_command(), cwd=self.work, env=self.env,
                                stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True,
                                preexec_fn=(lambda: os.close(0)) if plan.get("close_stdin") else None)
        if stdin == subprocess.PIPE:
            tool.stdin.write(plan.get("stdin", b"\n"))
            tool.stdin.close()
            tool.stdin = None
        at = plan.get("kill_sim_at") or plan.get("stop_pcscd_at")
        if at:
            self.act_at(at, tool, started)
        try:
            out, err = tool.communicate(timeout=plan["seconds"] + 30)
        except subprocess.TimeoutExpired:
            os.killpg(tool.pid, signal.SIGKILL)
            out, err = tool.communicate()
        elapsed = time.monotonic() - started
        self.leftovers = session_members(tool.pid)
        if self.leftovers:
            os.killpg(tool.pid, signal.SIGKILL)
        return subprocess.CompletedProcess(tool.args, tool.returncode, self.console(out),
                                           self.console(err)), elapsed

    def act_at(self, request, tool, started):
        mark = f"request {request}:"
        deadline = started + self.plan["seconds"]
        seen = ""
        with open(self.transcript, encoding="latin-1") as transcript:
            while time.monotonic() < deadline and tool.poll() is None:
                seen = seen[-200:] + transcript.read()
                if mark in seen:
                    break
                time.sleep(0.02)
        if self.plan.get("kill_sim_at"):
            self.sim.kill()
            self.sim.wait()
        else:
            subprocess.run([str(e2e.ROOT / "scripts" / "sim-pcscd"), "stop", str(self.pcscd_dir)],
                           capture_output=True, timeout=30)
            self.pcscd_dir = None


def check(run, tool, elapsed):
    plan = run.plan
    problems = []
    output = e2e.mask(tool.stdout.decode("latin-1"))
    if not re.fullmatch(pattern(plan["expect"]), output, re.S):
        problems.append(f"console transcript differs:\n--- expected\n{plan['expect']}\n"
                        f"--- actual\n{output}\n---")
    problems += e2e.run_problems(tool, elapsed, plan["seconds"],
                                 e2e.expected_stderr(plan, run.args.wine))
    if run.leftovers:
        problems.append(f"processes left in the tool's session: {run.leftovers}")
    if plan.get("image") is not None:
        transcript = run.transcript.read_text() if run.transcript.exists() else ""
        if "image check: passed" not in transcript:
            problems.append("the simulator did not report 'image check: passed'")
    return problems


def main():
    return e2e.run_one(e2e.command_line(CASES), CASES, FaultRun, check, WINE_CASES,
                       WINE_PCSC_CASES)


if __name__ == "__main__":
    sys.exit(main())
