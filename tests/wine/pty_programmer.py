#!/usr/bin/env python3
"""A minimal stand-in for the programmer on a pseudo-terminal.

Usage: pty_programmer.py LINK LOG [SECONDS]

Opens a pseudo-terminal, points the symbolic link LINK at its far end and
answers the wake-up: DC1 with "[C]", and the start-up command "S900000 01\\r"
with "[C]". Every byte received is appended to LOG. Prints "ready" once the
link is in place. Removes LINK and stops on SIGTERM, SIGINT, or after
SECONDS (default 120), so that it never outlives the check that started it.
"""
import os
import select
import signal
import sys
import time
import tty


def main():
    link, log_path = sys.argv[1], sys.argv[2]
    lifetime = float(sys.argv[3]) if len(sys.argv) > 3 else 120.0

    master, slave = os.openpty()
    # Raw from the start: no echo, no line editing, whatever the program does.
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))

    print("ready", flush=True)
    deadline = time.monotonic() + lifetime
    line = b""
    with open(log_path, "ab", buffering=0) as log:
        while not stop and time.monotonic() < deadline:
            try:
                ready, _, _ = select.select([master], [], [], 0.1)
            except InterruptedError:
                continue
            if not ready:
                continue
            try:
                data = os.read(master, 256)
            except OSError:
                continue
            log.write(data)
            for b in data:
                if b == 0x11:
                    os.write(master, b"[C]")
                elif b == 0x0D:
                    if line.endswith(b"S900000 01"):
                        os.write(master, b"[C]")
                    line = b""
                elif b == 0x1B:
                    line = b""
                else:
                    line = (line + bytes([b]))[-64:]

    if os.path.islink(link) and os.readlink(link) == os.ttyname(slave):
        os.unlink(link)


if __name__ == "__main__":
    main()
