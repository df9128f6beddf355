#!/usr/bin/env python3
"""The Linux devcon against a fake sysfs tree: the matching device is switched off and on
through its authorized attribute (a FIFO here, so that both writes are seen), interfaces and
other devices are left alone, and a missing device, a missing right and a bad command line
each end with their message on standard error and nothing on standard output.

    devcon_test.py SCRIPT
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import unittest

SCRIPT = None


def make_device(devices, name, vendor=None, product=None):
    device = devices / name
    device.mkdir(parents=True)
    if vendor is not None:
        (device / "idVendor").write_text(vendor + "\n")
        (device / "idProduct").write_text(product + "\n")
    return device


class Recorder(threading.Thread):
    """Reads what is written into a FIFO, one opening after another."""

    def __init__(self, fifo, openings):
        super().__init__(daemon=True)
        self.fifo, self.openings, self.written = fifo, openings, []

    def run(self):
        for _ in range(self.openings):
            with open(self.fifo) as attribute:
                self.written.append(attribute.read())


class Devcon(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.temp.name)
        self.devices = self.root / "bus" / "usb" / "devices"
        self.devices.mkdir(parents=True)

    def tearDown(self):
        self.temp.cleanup()

    def run_devcon(self, *args, as_nobody=False):
        command = [SCRIPT, *args]
        if as_nobody and os.geteuid() == 0:
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + command
        return subprocess.run(command, env=dict(os.environ, ZARN_SYSFS=str(self.root)),
                              capture_output=True, text=True, timeout=20)

    def test_restarts_the_matching_device_off_then_on(self):
        for product in ("130d", "130a"):
            with self.subTest(product=product):
                reader = make_device(self.devices, f"1-{product}", "c251", product)
                os.mkfifo(reader / "authorized")
                other = make_device(self.devices, f"2-{product}", "c251", "9999")
                (other / "authorized").write_text("1\n")
                make_device(self.devices, f"1-{product}:1.0")  # an interface: no ids
                recorder = Recorder(reader / "authorized", 2)
                recorder.start()
                out = self.run_devcon("restart", f"USB\\Vid_c251&Pid_{product}")
                recorder.join(5)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(recorder.written, ["0\n", "1\n"])
                self.assertEqual((other / "authorized").read_text(), "1\n")
                self.assertEqual(out.stdout, "")
                self.assertIn(f"devcon: 1-{product}: Restarted\n", out.stderr)

    def test_no_such_device_is_said(self):
        make_device(self.devices, "1-1", "1d6b", "0002")
        out = self.run_devcon("restart", "USB\\Vid_c251&Pid_130d")
        self.assertEqual(out.returncode, 1)
        self.assertEqual(out.stdout, "")
        self.assertEqual(out.stderr, f"devcon: no USB device c251:130d under {self.devices} "
                                     "(is the reader plugged in?)\n")

    def test_missing_right_is_said(self):
        reader = make_device(self.devices, "3-2", "C251", "130D")
        (reader / "authorized").write_text("1\n")
        (reader / "authorized").chmod(0o444)
        self.root.chmod(0o755)
        out = self.run_devcon("restart", "USB\\VID_C251&PID_130D", as_nobody=True)
        self.assertEqual(out.returncode, 3)
        self.assertEqual(out.stdout, "")
        self.assertRegex(out.stderr, r"^devcon: no right to restart 3-2: writing \S+/authorized: "
                                     r"Permission denied; run as root or allow it with a udev rule")
        self.assertEqual((reader / "authorized").read_text(), "1\n")

    def test_bad_command_lines_are_refused(self):
        for args in [(), ("status", "USB\\Vid_c251&Pid_130d"), ("restart", "PCI\\VEN_8086"),
                     ("restart", "USB\\Vid_c251&Pid_130d", "extra")]:
            with self.subTest(args=args):
                out = self.run_devcon(*args)
                self.assertEqual(out.returncode, 2)
                self.assertEqual(out.stdout, "")
                self.assertTrue(out.stderr.startswith("devcon: "), out.stderr)


if __name__ == "__main__":
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
