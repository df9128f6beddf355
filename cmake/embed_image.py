#!/usr/bin/env python3
"""Writes a C++ source that holds one firmware image as constant data.

Either from a release file (raw binary, or Intel HEX when it ends in .hex), or, without one, a
demo image: a body of deterministic pseudo-random bytes followed by the 8-byte trailer that the
simulated reader checks (CRC-32 of the body, then the body length, both little-endian).
"""
import argparse
import sys
import zlib


def demo_image(length, seed):
    body_length = length - 8
    state = seed & 0xFFFFFFFF or 1
    body = bytearray(body_length)
    for i in range(body_length):  # xorshift32: fast, and the same on every build machine
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        body[i] = state & 0xFF
    trailer = zlib.crc32(body).to_bytes(4, "little") + body_length.to_bytes(4, "little")
    return bytes(body) + trailer


def read_intel_hex(path):
    memory = {}
    base = 0
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            if not line.startswith(":"):
                sys.exit(f"{path}:{number}: not an Intel HEX record")
            record = bytes.fromhex(line[1:])
            count, address, kind = record[0], int.from_bytes(record[1:3], "big"), record[3]
            data = record[4:4 + count]
            if len(record) != count + 5 or sum(record) & 0xFF:
                sys.exit(f"{path}:{number}: bad length or checksum")
            if kind == 0:
                for i, b in enumerate(data):
                    memory[base + address + i] = b
            elif kind == 1:
                break
            elif kind == 2:
                base = int.from_bytes(data, "big") << 4
            elif kind == 4:
                base = int.from_bytes(data, "big") << 16
    if not memory:
        return b""
    start, end = min(memory), max(memory) + 1
    return bytes(memory.get(a, 0xFF) for a in range(start, end))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True, help="C++ name of the FirmwareImage")
    parser.add_argument("--output", required=True)
    parser.add_argument("--file", default="", help="release file; empty: demo image")
    parser.add_argument("--demo-length", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    if args.file:
        if args.file.lower().endswith(".hex"):
            image = read_intel_hex(args.file)
        else:
            with open(args.file, "rb") as f:
                image = f.read()
        if len(image) % 256 != 8:
            print(f"warning: {args.file}: {len(image)} bytes is not 8 more than a multiple of "
                  "256; the tool will refuse it with \"wrong hex\"", file=sys.stderr)
    else:
        image = demo_image(args.demo_length, args.seed)

    rows = []
    for i in range(0, len(image), 24):
        rows.append("  " + ", ".join(f"0x{b:02X}" for b in image[i:i + 24]) + ",")
    data = "\n".join(rows) if image else "  0x00,"
    source = (
        "// Generated at build time; do not edit.\n"
        '#include "app/firmware_image.h"\n\n'
        "namespace zarn {\nnamespace {\n"
        f"const std::uint8_t kBytes[] = {{\n{data}\n}};\n"
        "}  // namespace\n\n"
        f"const FirmwareImage {args.name}{{kBytes, {len(image)}u}};\n\n"
        "}  // namespace zarn\n"
    )
    with open(args.output, "w", encoding="ascii") as f:
        f.write(source)


if __name__ == "__main__":
    main()
