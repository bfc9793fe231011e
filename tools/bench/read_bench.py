#!/usr/bin/env python3
"""ferrule-cli read of 1 MiB from a simulated module on a pseudo-terminal paced like a real line.

Prints the run's seconds, the read's own (from its "read" event to its "verify" event), the
line-bound time of the read (every byte of its requests and replies, escaped, at a tenth of the
rate: 10 bits a byte) and the read's ratio to it, and checks the file against the module's flash.
No timed assertion: the figures are for people.
Usage: tools/bench/read_bench.py [BUILD_DIR]    (default: build beside this folder)
"""
import json
import os
import random
import subprocess
import sys
import tempfile

RATE = 921600
SIZE = 1024 * 1024
PIECE = 4096  # flash bytes in one READ reply


def escaped(data):
    return len(data) + data.count(0xC0) + data.count(0xDB)


def line_bytes(flash):
    """Bytes on the line for the read: each READ request and its reply, framed and escaped."""
    total = 0
    for offset in range(0, SIZE, PIECE):
        request = bytes([0, 0xD7, 8, 0, 0, 0, 0, 0]) + offset.to_bytes(4, "little") + PIECE.to_bytes(4, "little")
        reply = bytes([1, 0xD7, 2 + PIECE & 0xFF, (2 + PIECE) >> 8]) + offset.to_bytes(4, "little")
        total += 2 + escaped(request) + 2 + escaped(reply + flash[offset:offset + PIECE] + b"\0\0")
    return total


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build")
    cli = os.path.join(build, "app", "ferrule-cli")
    sim = os.path.join(build, "tools", "rq53sim", "rq53sim")
    with tempfile.TemporaryDirectory() as work:
        flash = bytes(random.Random(53).getrandbits(8) for _ in range(4 * SIZE))
        contents = os.path.join(work, "contents.bin")
        with open(contents, "wb") as out:
            out.write(flash)
        module = subprocess.Popen([sim, "--stdin", "--flash", contents], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        port = module.stdout.readline().strip()
        target = os.path.join(work, "read.bin")
        run = subprocess.run([cli, "read", "--port", port, "--offset", "0", "--size", str(SIZE),
                              target, "--json", "--config", work], capture_output=True, text=True)
        module.stdin.close()
        module.wait()
        events = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
        seconds = {event["event"]: event.get("seconds") for event in events}
        result = next(event for event in events if event["event"] == "result")
        with open(target, "rb") as got:
            equal = got.read() == flash[:SIZE]
    read_seconds = seconds["verify"] - seconds["read"]
    bound = line_bytes(flash) * 10 / RATE
    print(f"ferrule-cli read of 1 MiB at {RATE} bit/s: run {result['seconds']:.2f} s "
          f"({result['result']}, file {'equal to' if equal else 'DIFFERENT from'} the flash)")
    print(f"  the read itself {read_seconds:.2f} s; line-bound {bound:.2f} s; ratio {read_seconds / bound:.3f}")
    print(f"  the whole run's ratio to the read's line-bound time: {result['seconds'] / bound:.3f}")
    return 0 if run.returncode == 0 and equal else 1


if __name__ == "__main__":
    sys.exit(main())
