#!/usr/bin/env python3
"""End-to-end runs of the real zarn-upgrade binary against zarn-reader-sim.

Each scenario starts the simulator behind one front (a pseudo-terminal, a private pcscd loading
the simulator's IFD handler, or the USB device-interface sockets), runs the tool with its
arguments and console input, and compares the whole console transcript with
expected/<scenario>.txt (clock times masked as HH:MM:SS). It also checks the simulator's image
check where the run should deliver the image, bounds the run's time, and makes sure nothing is
left running.

    e2e.py --tool T --sim S --ifd I SCENARIO     run one scenario (exit 77: skipped)
    e2e.py --list                                 the scenario names
    e2e.py --wine --tool T.exe --sim S --uart-pty L --ifd I --devcon D.exe SCENARIO
                                                  the Windows build under Wine, for the COM-port
                                                  scenarios of WINE_SCENARIOS (--wine --list)
                                                  and, under Wine 10 only, the PC/SC ones of
                                                  WINE_PCSC_SCENARIOS (--wine --pcsc --list)
    e2e.py --wine ... --usb-driver D.sys --usb-driver-setup I.exe --devcon C.exe SCENARIO
                                                  and its USB driver scenarios, through the
                                                  tests' driver (tests/usb/driver)
    e2e.py ... --update SCENARIO                  rewrite the expected transcript (review it!)
"""
import argparse
import fcntl
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "usb" / "driver"))
import wine_usb_driver  # noqa: E402  (the tests' USB driver under Wine)
SKIP = 77

# front: serial | pcsc | usb | none; sim: simulator options; tool: arguments; stdin: console
# input; image: the image check the simulator must report (True passed, False failed, None no
# check); seconds: bound on the tool's run; stderr: the lines the tool must write to standard
# error (regular expressions, whole lines, in order; none when not given), wine_stderr: the
# same for the Windows build under Wine where its words differ; hold_port: the
# runner holds the port: "lock" its flock, as another instance of the tool would, "exclusive"
# open with TIOCEXCL and open to all, as a terminal program would; user: the tool runs with
# this user id (and nogroup) instead of root's; reconnect_dots_vary: any number of dots after
# the Y/N question matches.
NO_SERVICE = r"the PC/SC service: Service not available \(0x8010001D\)"
USB_NOT_OPENED = (r'zarn-upgrade: USB: no PC/SC reader whose name begins with "Korvanta Smart '
                  r'Card Reader" \(' + NO_SERVICE + r"\), and the reader's own USB driver channel "
                  r"found no interface")
# The Windows build under Wine: Wine 8's winscard is a stub that fails with
# SCARD_F_INTERNAL_ERROR, a Wine whose winscard reaches pcsc-lite finds no service; the text is
# the system's (Wine's has none for the PC/SC service's codes).
WINE_USB_NOT_OPENED = USB_NOT_OPENED.replace(
    r"Service not available \(0x8010001D\)", r"[^()]* \((0x8010001D|0x80100001)\)")
# The reader listed but away (its restart never ends): the connection is what fails.
PCSC_NOT_OPENED = (r'zarn-upgrade: USB: no PC/SC reader whose name begins with "Korvanta Smart '
                   r'Card Reader" \(connecting: [^()]* \(0x80100017\)\), and the reader\'s own '
                   r"USB driver channel found no interface")
LIBCCID_HINT = (r"zarn-upgrade: USB: the CCID driver refuses escape commands "
                r"\(SCARD_E_NOT_TRANSACTED\): ifdDriverOptions in libccid's Info.plist needs bit "
                r"0x0001, then restart pcscd")
SILENT_AT_OPEN = (r"zarn-upgrade: COM3 \({device}\): the port opened, but the reader did "
                  r"not answer at {baud} baud, bus address {address}, framings N/1, O/1, E/1, "
                  r"N/2, O/2, E/2: check the reader's baud rate and bus address, the wiring, and "
                  r"RS-485 direction control")


def silent_at_open(**settings):
    """The silent reader's line, naming the runner's pty, or under Wine the COM3 device."""
    return dict(stderr=[SILENT_AT_OPEN.format(device=r"/tmp/ze-\w+/com", **settings)],
                wine_stderr=[SILENT_AT_OPEN.format(device=r"\\\\\.\\COM3", **settings)])


# The Windows build under Wine: the refusal arrives as pcsc-lite's code, the advice is Windows'.
ESCAPE_COMMAND_ENABLE_HINT = (
    r"zarn-upgrade: USB: the CCID driver refuses escape commands \(SCARD_E_NOT_TRANSACTED\): "
    r"set the DWORD value EscapeCommandEnable to 1 under HKLM\\SYSTEM\\CurrentControlSet\\"
    r"Enum\\USB\\VID_C251&PID_130D\\<instance>\\Device Parameters, then unplug and replug "
    r"the reader")

SCENARIOS = {
    # The main job on each link.
    "com_full_upgrade": dict(
        front="serial", sim=["--address", "17", "--parity", "O", "--stop-bits", "2"],
        tool=["COM7", "9600", "17", "115200", "80"], image=True, seconds=60),
    "pcsc_full_upgrade": dict(front="pcsc", sim=[], tool=[], image=True, seconds=60),
    "usb_full_upgrade": dict(front="usb", sim=[], tool=[], image=True, seconds=60),
    "usb_lpc11_upgrade": dict(front="usb", sim=["--mcu", "LPC11U68JBD100"], tool=[], image=True,
                              seconds=60),
    # Readers that are refused before anything is written.
    "refuse_gd32": dict(front="serial", sim=["--mcu", "GD32F303Cx"], tool=["COM3"], seconds=15),
    "refuse_lpc21": dict(front="serial", sim=["--mcu", "LPC2148"], tool=["COM3"], seconds=15),
    "refuse_old_firmware": dict(front="usb", sim=["--version", "05,42,43,02,00,01"], tool=[],
                                seconds=15),
    "refuse_unknown_chip": dict(front="usb", sim=["--mcu", "0x12345678"], tool=[], seconds=15),
    # The upgrade's branches.
    "usb_reader_in_loader": dict(front="usb", sim=["--start-in-loader"], tool=[], image=True,
                                 seconds=40),
    "com_block_11_refused": dict(front="serial", sim=["--fail-block", "11"],
                                 tool=["COM2", "9600", "0", "57600"], seconds=30),
    "usb_serial_written_back": dict(
        front="usb", sim=["--new-serial", "87654321", "--new-version", "06,43,02,01,40,01"],
        tool=[], image=True, seconds=60),
    "usb_unset_serial_ffffffff_kept": dict(
        front="usb", sim=["--serial", "FFFFFFFF", "--new-serial", "87654321"], tool=[],
        image=True, seconds=60),
    "com_unset_serial_7c2fdeed_kept": dict(
        front="serial", sim=["--serial", "7C2FDEED", "--new-serial", "87654321"], tool=["COM4"],
        image=True, seconds=60),
    "com_default_parameters": dict(
        front="serial", sim=["--version", "05,43,12,01,00,01", "--new-version", "06,43,02,01,40,01"],
        tool=["COM5"], image=True, seconds=60),
    "com_stays_in_loader": dict(front="serial", sim=["--stay-in-loader"], tool=["COM6"],
                                seconds=60),
    "usb_stays_in_loader": dict(front="usb", sim=["--stay-in-loader"], tool=[], seconds=60),
    # The USB restart wait: the operator's answer, and the device restart command.
    "usb_prompt_x_then_n": dict(front="usb", sim=["--slow-restart", "2:never"], tool=[],
                                keys=[b"x", b"n"], stderr=[USB_NOT_OPENED],
                                wine_stderr=[WINE_USB_NOT_OPENED], seconds=60),
    # The reader is back about when the reconnect's second attempt runs: one dot, or under load
    # none or two (tests/app/restart_test.cpp counts them against a fake clock).
    "usb_prompt_yes": dict(front="usb", sim=["--slow-restart", "2:23"], tool=[], keys=[b"y"],
                           stderr=[USB_NOT_OPENED], wine_stderr=[WINE_USB_NOT_OPENED],
                           image=True, seconds=90, reconnect_dots_vary=True),
    "usb_silent_reader_restarted": dict(front="usb", sim=["--drop-answer", "5"], tool=[],
                                        devcon="restart USB\\Vid_c251&Pid_130a", image=True,
                                        seconds=60),
    # Interfaces that are not there.
    "no_reader_usb": dict(front="none", sim=None, tool=[], stderr=[USB_NOT_OPENED], seconds=15,
                          wine_stderr=[WINE_USB_NOT_OPENED]),
    "no_port_com": dict(front="none", sim=None, tool=["COM9"], seconds=15, stderr=[
        r"zarn-upgrade: COM9 \(/tmp/ze-\w+/no-such-port\) cannot be opened: "
        r"No such file or directory"],
        # Wine opens a COM device whose link leads nowhere and fails its first set-up call.
        wine_stderr=[r"zarn-upgrade: COM9 \(\\\\\.\\COM9\) does not take 9600 baud, parity N, "
                     r"8 data bits, 1 stop bit: Invalid function"]),
    # Interfaces that are there but cannot be used: the reason goes to standard error.
    "com_port_busy": dict(front="serial", sim=[], tool=["COM8"], hold_port="lock", seconds=15,
                          stderr=[r"zarn-upgrade: COM8 \(/tmp/ze-\w+/com\) cannot be opened: "
                                  r"Device or resource busy"]),
    # TIOCEXCL keeps out every opener but root: the tool runs as another user.
    "com_port_exclusive": dict(front="serial", sim=[], tool=["COM8"], hold_port="exclusive",
                               user="65534", seconds=15,
                               stderr=[r"zarn-upgrade: COM8 \(/tmp/ze-\w+/com\) cannot be "
                                       r"opened: Device or resource busy"]),
    "com_port_denied": dict(front="serial", sim=[], tool=["COM8"], user="65534", seconds=15,
                            stderr=[r"zarn-upgrade: COM8 \(/tmp/ze-\w+/com\) cannot be opened: "
                                    r"Permission denied"]),
    "pcsc_escape_refused": dict(front="pcsc", sim=["--refuse-escape"], tool=[],
                                stderr=[LIBCCID_HINT], wine_stderr=[ESCAPE_COMMAND_ENABLE_HINT],
                                seconds=15),
    # The PC/SC path's restart branches (the Windows build's, run under Wine 10, too).
    "pcsc_stays_in_loader": dict(front="pcsc", sim=["--stay-in-loader"], tool=[], seconds=60),
    "pcsc_prompt_n": dict(front="pcsc", sim=["--slow-restart", "2:never"], tool=[],
                          keys=[b"n"], stderr=[PCSC_NOT_OPENED], seconds=60),
    "pcsc_prompt_yes": dict(front="pcsc", sim=["--slow-restart", "2:23"], tool=[], keys=[b"y"],
                            stderr=[PCSC_NOT_OPENED], image=True, seconds=90,
                            reconnect_dots_vary=True),
    # pcsc-lite gives a lost answer (the handler's time-out) the code of a refused escape, so
    # the refusal's hint is said, as with a real reader behind libccid.
    "pcsc_silent_reader_restarted": dict(front="pcsc", sim=["--drop-answer", "5"], tool=[],
                                         devcon="restart USB\\Vid_c251&Pid_130d", image=True,
                                         stderr=[LIBCCID_HINT],
                                         wine_stderr=[ESCAPE_COMMAND_ENABLE_HINT], seconds=60),
    # A port that opens but where no attempt gets an answer: the reason names what was tried.
    "com_reader_other_address": dict(front="serial", sim=["--address", "17"],
                                     tool=["COM3", "9600", "5"], seconds=20,
                                     **silent_at_open(baud=9600, address=5)),
    "com_reader_other_baud": dict(front="serial", sim=["--baud", "19200"], tool=["COM3"],
                                  seconds=20, **silent_at_open(baud=9600, address=0)),
}

# The scenarios that the Windows build runs under Wine, against the same expected transcripts:
# on a COM port under every Wine, over PC/SC under Wine 10, whose winscard reaches pcsc-lite.
WINE_SCENARIOS = ["com_full_upgrade", "com_block_11_refused", "refuse_gd32", "refuse_lpc21",
                  "com_unset_serial_7c2fdeed_kept", "com_stays_in_loader", "no_port_com",
                  "com_reader_other_address", "com_reader_other_baud",
                  # Over the reader's own driver: the tests' driver under Wine.
                  "usb_full_upgrade", "usb_reader_in_loader", "usb_stays_in_loader",
                  "usb_prompt_x_then_n", "usb_prompt_yes", "usb_silent_reader_restarted"]
WINE_PCSC_SCENARIOS = ["pcsc_full_upgrade", "pcsc_escape_refused", "no_reader_usb",
                       "pcsc_stays_in_loader", "pcsc_prompt_n", "pcsc_prompt_yes",
                       "pcsc_silent_reader_restarted"]


def mask(text):
    return re.sub(r"(?m)^\d\d:\d\d:\d\d ", "HH:MM:SS ", text)


class Run:
    def __init__(self, args, name, plan, work):
        self.args = args
        self.name = name
        self.plan = plan
        self.work = work
        self.env = dict(os.environ)
        self.env["PCSCLITE_CSOCK_NAME"] = str(work / "no-pcscd" / "pcscd.comm")
        self.env["ZARN_DEVICE_INTERFACES"] = str(work / "if")
        # Every COM port the tool may open is mapped: never a real /dev/ttyS*.
        for arg in plan["tool"][:1]:
            port = re.match(r"COM(\d+)", arg)
            if port:
                self.env[f"ZARN_COM{port.group(1)}"] = str(work / "no-such-port")
        self.sim = None
        self.pcscd_dir = None
        self.transcript = work / "transcript.txt"
        self.wine_port = None
        self.usb_front = None
        self.usb_lock = None

    def tool_command(self):
        """The tool's command line. Under Wine the tool's COM port (mapped to a link of the
        prefix, scripts/with-wine) is pointed at the path the Linux tool would be given, and
        the pty is made to answer set-up calls as a UART does (the preloaded library)."""
        if not self.args.wine:
            return [self.args.tool] + self.plan["tool"]
        self.env.update(WINEDEBUG="-all")
        if self.wine_port is not None:
            temporary = self.work / "wine-port"
            temporary.symlink_to(self.env[f"ZARN_COM{self.wine_port.name[3:]}"])
            os.replace(temporary, self.wine_port)
            self.env.update(LD_PRELOAD=self.args.uart_pty)
        return ["wine", self.args.tool] + self.plan["tool"]

    def claim_wine_port(self):
        """Runs on one COM port take turns: its link is the prefix's, shared by parallel tests."""
        port = re.match(r"COM(\d+)", self.plan["tool"][0]).group(1)
        if "ZARN_WINE_COM_LINKS" not in os.environ:
            raise RuntimeError("--wine runs need scripts/with-wine, which maps the COM ports")
        links = pathlib.Path(os.environ["ZARN_WINE_COM_LINKS"])
        self.wine_lock = open(links / f"com{port}.lock", "w")
        fcntl.flock(self.wine_lock, fcntl.LOCK_EX)
        self.wine_port = links / f"com{port}"

    def console(self, output):
        """The tool's output as the Linux build writes it (CR LF read as LF)."""
        return output.replace(b"\r\n", b"\n") if self.args.wine else output

    def start_sim(self):
        plan = self.plan
        if self.args.wine and plan["tool"][:1] and plan["tool"][0].startswith("COM"):
            self.claim_wine_port()
        elif self.args.wine:
            # Without a COM port the tool may fall back on the prefix's USB driver: runs that
            # can reach it take turns, so that none finds another run's reader there.
            self.usb_lock = wine_usb_driver.claim(os.environ["ZARN_WINE_COM_LINKS"])
        if plan["front"] == "none":
            return
        command = [self.args.sim, "--transcript", str(self.transcript)] + plan["sim"]
        if plan["front"] == "serial":
            link = self.work / "com"
            port = re.match(r"COM(\d+)", plan["tool"][0]).group(1)
            self.env[f"ZARN_COM{port}"] = str(link)
            command += ["--link", str(link)]
            ready = link
        elif plan["front"] == "usb":
            command += ["--usb-root", str(self.work / "if")]
            ready = self.work / "if"
        else:
            socket = self.work / "sim.sock"
            command += ["--pcsc-socket", str(socket)]
            ready = socket
        self.sim = subprocess.Popen(command, cwd=self.work, stdout=subprocess.DEVNULL,
                                    stderr=open(self.work / "sim.log", "w"))
        wait_for(lambda: ready.exists() or self.sim.poll() is not None, 10)
        if self.sim.poll() is not None:
            raise RuntimeError(f"simulator ended at start: {(self.work / 'sim.log').read_text()}")
        if plan["front"] == "pcsc":
            self.start_pcscd(ready)
        if plan["front"] == "usb" and self.args.wine:
            self.start_wine_usb_driver(ready)

    def start_wine_usb_driver(self, root):
        """Points the prefix's USB driver at this simulator and waits until the driver has
        reached it (and enabled its interface)."""
        wait_for(lambda: any(p.is_socket() for p in root.rglob("*")), 10)
        self.usb_front = wine_usb_driver.LoopbackFront(next(p for p in root.rglob("*")
                                                            if p.is_socket()))
        wine_usb_driver.prepare(self.args.usb_driver_setup, self.args.usb_driver,
                                self.usb_front.port, self.env)
        if not self.usb_front.greeted.wait(20):
            raise RuntimeError("the prefix's USB driver did not reach the simulator")

    def start_pcscd(self, socket):
        self.pcscd_dir = self.work / "pcscd"
        # The Windows build meets a driver that takes Windows' escape code, as on Windows.
        driver = ["--windows-driver"] if self.args.wine else []
        out = subprocess.run([str(ROOT / "scripts" / "sim-pcscd"), "start"] + driver +
                             [str(self.pcscd_dir), str(socket), self.args.ifd],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            raise RuntimeError(f"private pcscd did not start: {out.stdout}{out.stderr}")
        found = re.search(r"PCSCLITE_CSOCK_NAME=(\S+)", out.stdout)
        self.env["PCSCLITE_CSOCK_NAME"] = found.group(1)

    def install_devcon(self):
        # The device console stand-in records its arguments where the run can check them; under
        # Wine it is a Windows program (tests/devcon), which the tool runs through cmd, and which
        # also restarts the tests' USB driver.
        for folder in ("i386", "x64"):
            (self.work / folder).mkdir()
            if self.args.wine:
                shutil.copy(self.args.devcon, self.work / folder / "devcon.exe")
                continue
            script = self.work / folder / "devcon"
            script.write_text('#!/bin/sh\nprintf "%s\\n" "$*" >> "$(dirname "$0")/../devcon.log"\n')
            script.chmod(0o755)

    def command(self):
        """The tool's command line; as another user the tool needs its folder readable."""
        user = self.plan.get("user")
        if not user:
            return self.tool_command()
        self.work.chmod(0o755)
        return (["setpriv", f"--reuid={user}", "--regid=65534", "--clear-groups", "--"] +
                self.tool_command())

    def run_tool(self):
        if self.plan.get("devcon"):
            self.install_devcon()
        held = self.hold_port(self.plan["hold_port"]) if self.plan.get("hold_port") else None
        started = time.monotonic()
        try:
            if "keys" in self.plan:
                tool = self.run_interactive()
            else:
                tool = subprocess.run(self.command(), cwd=self.work,
                                      env=self.env, input=self.plan.get("stdin", b"\n"),
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      timeout=self.plan["seconds"] + 30)
                tool.stdout = self.console(tool.stdout)
                tool.stderr = self.console(tool.stderr)
        finally:
            if held is not None:
                os.close(held)
        elapsed = time.monotonic() - started
        return tool, elapsed

    def hold_port(self, how):
        """Opens the port and holds it: its lock, or TIOCEXCL on a device anyone may open."""
        fd = os.open(self.work / "com", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        if how == "lock":
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:
            os.chmod(self.work / "com", 0o666)  # the pty itself: only TIOCEXCL keeps others out
            fcntl.ioctl(fd, termios.TIOCEXCL)
        return fd

    def run_interactive(self):
        """Types the keys one by one, a second apart, once the Y/N question is on the screen;
        then closes the input (the final Enter prompt reads its end)."""
        tool = subprocess.Popen(self.command(), cwd=self.work, env=self.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        output = b""
        deadline = time.monotonic() + self.plan["seconds"] + 30
        os.set_blocking(tool.stdout.fileno(), False)
        while b"Continue (Y/N)?\n" not in self.console(output) and tool.poll() is None:
            if time.monotonic() > deadline:
                tool.kill()
                break
            output += tool.stdout.read() or b""
            time.sleep(0.05)
        for key in self.plan["keys"]:
            time.sleep(1.0)
            try:
                tool.stdin.write(key)
                tool.stdin.flush()
            except BrokenPipeError:
                break
        try:
            tool.stdin.close()
        except BrokenPipeError:
            pass
        tool.stdin = None  # closed: communicate must not flush it
        os.set_blocking(tool.stdout.fileno(), True)
        rest, errors = tool.communicate(timeout=max(1, deadline - time.monotonic()))
        return subprocess.CompletedProcess(tool.args, tool.returncode,
                                           self.console(output + rest), self.console(errors))

    def stop(self):
        if self.usb_front is not None:
            self.usb_front.close()
        if self.usb_lock is not None:
            self.usb_lock.close()
        if self.wine_port is not None:
            temporary = self.work / "wine-port"
            temporary.unlink(missing_ok=True)
            temporary.symlink_to(self.wine_port.parent / "absent")
            os.replace(temporary, self.wine_port)
            self.wine_lock.close()
        if self.pcscd_dir is not None:
            subprocess.run([str(ROOT / "scripts" / "sim-pcscd"), "stop", str(self.pcscd_dir)],
                           capture_output=True, timeout=30)
        if self.sim is not None and self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
            try:
                self.sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.sim.kill()
                self.sim.wait()
                raise RuntimeError("the simulator did not end on SIGTERM")


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for the simulator")
        time.sleep(0.02)


def run_problems(tool, elapsed, seconds, stderr=()):
    """What every run must keep to: exit code 0, on standard error exactly the expected lines
    (regular expressions; none by default), within its time."""
    problems = []
    if tool.returncode != 0:
        problems.append(f"exit code {tool.returncode}, expected 0")
    lines = tool.stderr.decode("latin-1").splitlines(keepends=True)
    if len(lines) != len(stderr) or not all(
            re.fullmatch(want + "\n", line) for want, line in zip(stderr, lines)):
        problems.append(f"standard error differs: expected lines {list(stderr)!r}, "
                        f"got {tool.stderr!r}")
    if elapsed > seconds:
        problems.append(f"the run took {elapsed:.1f} s, more than {seconds} s")
    return problems


def mask_reconnect_dots(text):
    """The reconnect's dots after the Y/N question, whose number follows the machine's load."""
    return re.sub(r"(?m)^(Continue \(Y/N\)\?\n)\.*\n", r"\1<dots>\n", text)


def expected_stderr(plan, wine):
    """The reason lines of a plan; under Wine the Windows build's own words where they differ."""
    if wine and "wine_stderr" in plan:
        return plan["wine_stderr"]
    return plan.get("stderr", ())


def check(run, tool, elapsed, update):
    problems = []
    plan = run.plan
    output = mask(tool.stdout.decode("latin-1"))
    expected_file = HERE / "expected" / f"{run.name}.txt"
    if update:
        expected_file.write_text(output, encoding="latin-1")
    expected = expected_file.read_text(encoding="latin-1") if expected_file.exists() else None
    if plan.get("reconnect_dots_vary") and expected is not None:
        output, expected = (mask_reconnect_dots(text) for text in (output, expected))
    if output != expected:
        problems.append(f"console transcript differs from {expected_file.name}:\n"
                        f"--- expected\n{expected}\n--- actual\n{output}\n---")
    problems += run_problems(tool, elapsed, plan["seconds"], expected_stderr(plan, run.args.wine))
    if plan.get("devcon"):
        log = run.work / "devcon.log"
        ran = log.read_text().splitlines() if log.exists() else []
        if ran != [plan["devcon"]]:
            problems.append(f"device console runs {ran}, expected [{plan['devcon']!r}]")
    if plan.get("image") is not None:
        transcript = run.transcript.read_text() if run.transcript.exists() else ""
        verdict = "passed" if plan["image"] else "failed"
        if f"image check: {verdict}" not in transcript:
            problems.append(f"the simulator did not report 'image check: {verdict}':\n"
                            + "\n".join(transcript.splitlines()[-5:]))
    return problems


def command_line(table, extra=()):
    """The runners' command line: --tool, --sim and --ifd (made absolute, as the runs happen in
    a folder of their own), --list, the given extra flags, and one name from the table."""
    parser = argparse.ArgumentParser()
    for name in ("--tool", "--sim", "--ifd", "--uart-pty", "--usb-driver", "--usb-driver-setup",
                 "--devcon"):
        parser.add_argument(name)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--pcsc", action="store_true")
    for flag in extra:
        parser.add_argument(flag, action="store_true")
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    for name in ("tool", "sim", "ifd", "uart_pty", "usb_driver", "usb_driver_setup", "devcon"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    return args


def run_one(args, table, run_class, check_run, wine_names=(), wine_pcsc_names=()):
    """Lists the table (with --wine, the names in wine_names; with --wine --pcsc, those in
    wine_pcsc_names), or runs its entry args.name with run_class in a fresh folder and judges it
    with check_run(run, tool, elapsed). Returns the exit code (SKIP when it cannot run here)."""
    if args.list:
        names = table
        if args.wine:
            names = wine_pcsc_names if args.pcsc else wine_names
        print(";".join(names))
        return 0
    plan = table[args.name]
    if plan["front"] == "pcsc" and (os.geteuid() != 0 or not pathlib.Path("/usr/sbin/pcscd").exists()):
        print("skipped: a private pcscd needs root and /usr/sbin/pcscd")
        return SKIP
    if plan.get("user") and os.geteuid() != 0:
        print("skipped: running the tool as another user needs root")
        return SKIP
    # Short: socket paths below it must stay within the 107 bytes a Unix socket address holds.
    with tempfile.TemporaryDirectory(prefix="ze-", dir="/tmp") as temp:
        run = run_class(args, args.name, plan, pathlib.Path(temp))
        try:
            run.start_sim()
            tool, elapsed = run.run_tool()
        finally:
            run.stop()
        problems = check_run(run, tool, elapsed)
        if problems:
            print("\n".join(problems))
            if run.transcript.exists():
                print("--- simulator transcript (last 20 lines)")
                print("\n".join(run.transcript.read_text().splitlines()[-20:]))
            return 1
    print(mask(tool.stdout.decode("latin-1")))
    print(f"{args.name}: passed in {elapsed:.1f} s")
    return 0


def main():
    args = command_line(SCENARIOS, extra=["--update"])
    return run_one(args, SCENARIOS, Run,
                   lambda run, tool, elapsed: check(run, tool, elapsed, args.update),
                   WINE_SCENARIOS, WINE_PCSC_SCENARIOS)


if __name__ == "__main__":
    sys.exit(main())
