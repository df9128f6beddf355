#!/usr/bin/env python3
"""Writes the seed corpora in corpus/<target>/ from the known frames and answers.

Each target reads its input through libFuzzer's FuzzedDataProvider, which takes byte strings
from the front of the input and numbers from its back. Input below builds an input the same
way, so that each seed means what its name says: the documented frame vectors, answers with
each status, and whole runs that get through identification into the upgrade and to its end.

    make_seeds.py            rewrite every corpus (review the diff)
"""
import pathlib
import shutil

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"


class Input:
    """An input for FuzzedDataProvider: byte strings in front, numbers at the back."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the provider consumes them

    def bytes(self, data):  # ConsumeBytes(len(data)) / ConsumeBytesAsString
        self.front += bytes(data)
        return self

    def number(self, value, low, high):  # ConsumeIntegralInRange(low, high)
        span = high - low
        assert low <= value <= high
        width = 0
        while width < 8 and span >> (8 * width) > 0:
            width += 1
        for i in reversed(range(width)):  # most significant byte first
            self.back.append(((value - low) >> (8 * i)) & 0xFF)
        return self

    def byte(self, value):  # ConsumeIntegral<uint8_t>
        return self.number(value, 0, 255)

    def boolean(self, value):  # ConsumeBool
        return self.byte(1 if value else 0)

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def crc16_x25(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def frame(body):
    """FD, the escaped body and its check, FE."""
    crc = crc16_x25(body)
    out = bytearray([0xFD])
    for b in list(body) + [crc & 0xFF, crc >> 8]:
        out += bytes([0xFF, b ^ 0xFF]) if b > 0xFC else bytes([b])
    return bytes(out + b"\xFE")


def answer_frame(address, sequence, status_and_data):
    return frame(bytes([address, sequence, 0x00]) + bytes(status_and_data))


# The documented vectors.
REQUEST_D = bytes.fromhex("FD 00 01 64 36 FA FE")
REQUEST_D_FE = bytes.fromhex("FD 05 FF 02 64 FF 01 06 FF 02 FE")
ANSWER_1122 = bytes.fromhex("FD 00 01 00 00 11 22 92 72 FE")
assert frame(bytes([0x00, 0x01, 0x64])) == REQUEST_D
assert frame(bytes([0x05, 0xFD, 0x64, 0xFE])) == REQUEST_D_FE
assert answer_frame(0, 1, [0x00, 0x11, 0x22]) == ANSWER_1122


def frame_codec_seeds():
    def parse(address, sequence, stream):
        return Input().byte(address).byte(sequence).boolean(False).bytes(stream).data()

    def round_trip(address, sequence, payload):
        return Input().byte(address).byte(sequence).boolean(True).bytes(payload).data()

    bad_check = bytearray(ANSWER_1122)
    bad_check[5] ^= 0x01
    return {
        "answer_00_11_22": parse(0, 1, ANSWER_1122),
        "answer_bad_check": parse(0, 1, bad_check),
        "answer_wrong_sequence": parse(0, 1, answer_frame(0, 2, [0x00])),
        "answer_wrong_address": parse(5, 1, answer_frame(6, 1, [0x00])),
        "answer_bad_escape": parse(0, 1, bytes.fromhex("FD 00 01 FF 03 FE")),
        "answer_escaped_fd": parse(0, 1, answer_frame(0, 1, [0x00, 0xFD, 0xFE, 0xFF])),
        "answer_too_short": parse(0, 1, bytes.fromhex("FD 00 01 00 FE")),
        "answer_overflow": parse(0, 1, bytes([0xFD, 0, 1]) + bytes(1030) + b"\xFE"),
        "request_d": parse(0, 1, REQUEST_D),
        "round_trip_d": round_trip(0, 0, b"\x64"),
        "round_trip_d_fe_address_5": round_trip(5, 0xFC, b"\x64\xFE"),
        "round_trip_block": round_trip(0x11, 0xFF, b"s3" + bytes(range(256))),
    }


def serial_answer_seeds():
    def case(chunks, address=0, previous=0, good_end=True):
        seed = Input().boolean(address != 0)
        if address != 0:
            seed.byte(address)
        seed.byte(previous).number(1 if good_end else 0, 0, 15)
        for chunk in chunks:
            seed.number(len(chunk), 1, 1100).bytes(chunk)
        return seed.data()

    def split(data, *cuts):
        edges = [0, *cuts, len(data)]
        return [data[a:b] for a, b in zip(edges, edges[1:])]

    status_05 = answer_frame(0, 1, [0x05])
    return {
        "whole_answer": case([ANSWER_1122]),
        "answer_in_bytes": case([bytes([b]) for b in ANSWER_1122]),
        "answer_split_in_escape": case(split(answer_frame(0, 1, [0x00, 0xFE]), 6)),
        "answer_then_more_in_chunk": case([ANSWER_1122 + b"\x00"]),
        "status_05": case(split(status_05, 3)),
        "bad_check_then_good": case([ANSWER_1122[:-3] + b"\x00\x00\xFE"]),
        "wrong_sequence": case([answer_frame(0, 2, [0x00])]),
        "stale_then_current": case([answer_frame(0, 0xFF, [0x00, 0x99]), ANSWER_1122]),
        "wrong_address_bus_5": case([answer_frame(6, 1, [0x00])], address=5),
        "address_5_answer": case([answer_frame(5, 0x80, [0x00, 0x42])], address=5, previous=0x7F),
        "no_answer_times_out": case([ANSWER_1122[:4]], good_end=False),
    }


def pcsc_exchange_seeds():
    def case(request_length, answer):
        return Input().number(request_length, 0, 400).number(len(answer), 0, 2048).bytes(answer).data()

    return {
        "ok_no_data": case(1, bytes.fromhex("00 90 00")),
        "status_01": case(1, bytes.fromhex("01 90 00")),
        "status_word_6a82": case(1, bytes.fromhex("00 6A 82")),
        "only_status_word": case(1, bytes.fromhex("90 00")),
        "answer_301_bytes": case(1, bytes(299) + b"\x90\x00"),
        "version_answer": case(1, bytes.fromhex("00 05 43 02 01 00 01 90 00")),
        "request_296": case(296, bytes.fromhex("00 90 00")),
    }


def identify_mcu_seeds():
    def known(position, middle=b"\x00\x00\x00"):
        return Input().number(1, 0, 3).number(position, 0, 17).bytes(middle).data()

    def with_status_word(answer):
        return Input().number(2, 0, 3).bytes(answer).data()

    at32 = bytes.fromhex("00 00 00 46 03 05 70")
    return {
        "gd32": known(0),
        "at32": known(1),
        "lpc2148": known(17),
        "status_05": known(1, b"\x05\x00\x00"),
        "at32_raw_answer": with_status_word(at32),
        "unknown_part": with_status_word(bytes.fromhex("00 00 00 78 56 34 12")),
        "six_bytes": with_status_word(at32[:6]),
        "eight_bytes": with_status_word(at32 + b"\x00"),
        "no_status_word": Input().number(0, 0, 3).bytes(at32).data(),
    }


def usb_exchange_seeds():
    outcomes = [0, 0, 0, 0, 996, 1167, 234, 13, 31, 87, 122, 170]

    def case(*exchanges):
        seed = Input()
        for outcome, output in exchanges:
            seed.number(outcomes.index(outcome), 0, len(outcomes) - 1)
            seed.number(len(output), 0, 1100).bytes(output).number(1, 1, 300)
        return seed.data()

    return {
        "answer_00_ab": case((0, b"\x00\xAB")),
        "status_05": case((0, b"\x05")),
        "empty_output": case((0, b"")),
        "full_output": case((0, bytes(1024))),
        "timed_out_then_answer": case((996, b""), (0, b"\x00\x11\x22")),
        "gone": case((1167, b"\x00")),
        "more_data": case((234, bytes(300))),
    }


# A whole upgrade of an LPC11 reader (543 blocks) that starts in its application: the
# answers in order, each the reader's status byte and data.
LPC11_ID = bytes.fromhex("00 00 00 00 7C 00 00")
SERIAL = bytes.fromhex("00 78 56 34 12")
VERSION_APP = bytes.fromhex("00 05 43 02 01 00 01")
VERSION_LOADER = bytes.fromhex("00 05 43 02 01 00 00")
VERSION_NEW = bytes.fromhex("00 06 43 02 01 40 01")
OK = b"\x00"


def upgrade_answers(block_answers=None, after_check=VERSION_NEW, new_serial=SERIAL):
    blocks = block_answers if block_answers is not None else [OK] * 543
    answers = [SERIAL, VERSION_APP, LPC11_ID, OK,         # identified, loader request
               VERSION_LOADER, VERSION_LOADER,             # restart wait: probe, final check
               VERSION_LOADER, LPC11_ID]                   # version again, second identification
    answers += blocks
    if len(blocks) < 543:
        return answers
    answers += [OK, after_check, after_check]             # trailer, restart wait
    if after_check[-1] == 0:
        return answers
    answers += [new_serial]
    if new_serial != SERIAL:
        answers += [OK]                                   # the old serial number written back
    answers += [VERSION_NEW, OK]                          # new version, default parameters
    return answers


def upgrade_runs():
    return {
        "lpc11_full_upgrade": upgrade_answers(),
        "lpc11_block_11_refused": upgrade_answers([OK] * 10 + [b"\x85"]),
        "lpc11_block_ack_two_bytes": upgrade_answers([OK] * 3 + [b"\x00\x00"]),
        "lpc11_stays_in_loader": upgrade_answers(after_check=VERSION_LOADER),
        "lpc11_serial_written_back": upgrade_answers(new_serial=bytes.fromhex("00 21 43 65 87")),
        "at32_refused_old_firmware": [SERIAL, bytes.fromhex("00 05 42 02 01 00 01"),
                                      bytes.fromhex("00 00 00 46 03 05 70")],
        "gd32_wrong_hex": [SERIAL, VERSION_APP, bytes.fromhex("00 00 00 14 04 04 21")],
    }


def run_flow_seeds():
    def run(answers):
        seed = Input().bytes(b"\n\n").number(0, 0, 2)
        for answer in answers:
            seed.number(1, 0, 7).number(len(answer), 0, 12).bytes(answer)
        return seed.data()

    return {name: run(answers) for name, answers in upgrade_runs().items()}


def usb_run_flow_seeds():
    def run(answers):
        seed = Input().bytes(b"\n\n")
        for answer in answers:
            seed.number(1, 0, 7).number(len(answer), 0, 12).bytes(answer)
        return seed.data()

    seeds = {name: run(answers) for name, answers in upgrade_runs().items()}
    # The reader's driver times a block out once: a raw outcome 996 with no output.
    timed_out = Input().bytes(b"\n\n")
    for i, answer in enumerate(upgrade_answers()):
        if i == 20:
            timed_out.number(0, 0, 7).number(6, 0, 9).number(0, 0, 1100).boolean(True)
        else:
            timed_out.number(1, 0, 7).number(len(answer), 0, 12).bytes(answer)
    seeds["lpc11_block_timed_out"] = timed_out.data()
    return seeds


TARGETS = {
    "fuzz_frame_codec": frame_codec_seeds,
    "fuzz_serial_answer": serial_answer_seeds,
    "fuzz_pcsc_exchange": pcsc_exchange_seeds,
    "fuzz_identify_mcu": identify_mcu_seeds,
    "fuzz_usb_exchange": usb_exchange_seeds,
    "fuzz_run_flow": run_flow_seeds,
    "fuzz_usb_run_flow": usb_run_flow_seeds,
}


def main():
    for target, make in TARGETS.items():
        folder = CORPUS / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in make().items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(list(folder.iterdir()))} seeds")


if __name__ == "__main__":
    main()
