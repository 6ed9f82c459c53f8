#!/usr/bin/env python3
"""Measures chipferry against chipferry-sim over a real pseudo-terminal.

Prints one table: paced transfer times against their floor, CPU time of
unpaced transfers, the idle cost of the two long waits, and the peak
resident memory of a session. Run it with `make bench`.
"""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time
import datetime

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/release"
CHIPFERRY = os.path.join(BUILD, "chipferry")
SIM = os.path.join(BUILD, "chipferry-sim")
BYTE_S = 10 / 19200  # ten bits a byte at 19,200 baud
CHECKSUM_PAUSE_S = 0.704  # for 64 KiB
MENU_END = b"(Q)uit\n"


class Session:
    """chipferry under chipferry-sim, its standard input a pipe or a terminal."""

    def __init__(self, sim_args, terminal=False):
        env = dict(os.environ)
        self.terminal = terminal
        if terminal:
            self.master, slave = pty.openpty()
            stdin = slave
        else:
            stdin = subprocess.PIPE
        self.proc = subprocess.Popen([SIM] + sim_args + ["--run", CHIPFERRY], stdin=stdin,
                                     stdout=subprocess.PIPE, env=env)
        if terminal:
            os.close(slave)
        self.out = b""

    def type(self, text):
        if self.terminal:
            os.write(self.master, text)
        else:
            self.proc.stdin.write(text)
            self.proc.stdin.flush()

    def wait_for(self, marker, after=0, timeout=600):
        """Reads output until `marker` appears past offset `after`; the time it did."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while self.out.find(marker, after) < 0:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError("timed out waiting for %r; output so far: %r" % (marker, self.out[-300:]))
            chunk = os.read(fd, 65536)
            if not chunk:
                raise RuntimeError("chipferry ended; output: %r" % self.out[-300:])
            self.out += chunk
        return time.monotonic()

    def chipferry_pid(self):
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            return int(f.read().split()[0])

    def quit(self):
        self.type(b"q\n")
        self.proc.wait(timeout=30)
        if self.terminal:
            os.close(self.master)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def transfers(pace, image):
    """Upload then download 64 KiB; wall and CPU seconds of each, and peak memory."""
    s = Session(["--pace" if pace else "--no-pace", "--chip", "27512", "--type", "27512"])
    s.wait_for(MENU_END)
    pid = s.chipferry_pid()
    mark = len(s.out)
    s.type(b"1\n")
    s.wait_for(b"Enter Filename\n", mark)
    mark = len(s.out)
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    s.type(image.encode() + b"\n")
    t1 = s.wait_for(MENU_END, mark)
    cpu1 = cpu_seconds(pid)
    mark = len(s.out)
    t2 = time.monotonic()
    s.type(b"2\n")
    t3 = s.wait_for(b"Enter Filename\n", mark)
    cpu2 = cpu_seconds(pid)
    mark = len(s.out)
    s.type(image.encode() + b".back\n")
    s.wait_for(MENU_END, mark)
    rss = peak_rss_kib(pid)
    s.quit()
    with open(image, "rb") as a, open(image + ".back", "rb") as b:
        assert a.read() == b.read(), "the round trip changed the image"
    return (t1 - t0, cpu1 - cpu0), (t3 - t2, cpu2 - cpu1), rss


def idle_cpu(terminal, keys, marker, settle, sim_args):
    """CPU share of one core over 5 s once `marker` has appeared."""
    s = Session(sim_args, terminal=terminal)
    s.wait_for(MENU_END)
    pid = s.chipferry_pid()
    mark = len(s.out)
    s.type(keys)
    s.wait_for(marker, mark)
    time.sleep(settle)
    cpu0 = cpu_seconds(pid)
    time.sleep(5)
    share = (cpu_seconds(pid) - cpu0) / 5
    return s, share


def main():
    for path in (CHIPFERRY, SIM):
        if not os.access(path, os.X_OK):
            sys.exit("build first: %s is missing" % path)
    work = tempfile.mkdtemp(prefix="chipferry-bench-")
    image = os.path.join(work, "image.bin")
    with open(image, "wb") as f:
        f.write(bytes((i * 7 + 3) & 0xFF for i in range(65536)))

    # What the line must carry and what the protocol pauses, at the least.
    up_bytes = 5 + 14 + 65536 + 3 + 14 + 7 + 3
    up_floor = up_bytes * BYTE_S + 0.100 + 0.200 + 0.500 + CHECKSUM_PAUSE_S
    # A 64 KiB download fills the host buffer, so it ends without the 26
    # empty reads; the prompt wait then steps over the trailer's CR and LF,
    # one 75 ms pause each. The type query pauses 100 ms first.
    down_bytes = 2 + 9 + 3 + 17 + 65536 + 5 + 14 + 10
    down_floor = down_bytes * BYTE_S + 0.100 + 2 * 0.075 + CHECKSUM_PAUSE_S

    (up_wall, _), (down_wall, _), _ = transfers(True, image)
    (_, up_cpu), (_, down_cpu), rss = transfers(False, image)

    s, list_idle = idle_cpu(True, b"3\n", b"Press any key to continue\n", 0.5,
                            ["--no-pace", "--chip", "2716"])
    s.type(b"\n")
    s.wait_for(MENU_END, len(s.out) - 1)
    s.quit()
    s, pause_idle = idle_cpu(False, b"7\nPROGRAM\n", b"to confirm this action\n", 1.0,
                             ["--no-pace", "--chip", "2716", "--duration-ms", "9000"])
    s.wait_for(MENU_END, len(s.out))
    s.quit()

    rows = [
        ("64 KiB upload, paced: wall / floor", "%.2f s / %.2f s = %.3f" % (up_wall, up_floor, up_wall / up_floor), "<= 1.02"),
        ("64 KiB download, paced: wall / floor", "%.2f s / %.2f s = %.3f" % (down_wall, down_floor, down_wall / down_floor), "<= 1.02"),
        ("64 KiB upload, unpaced: CPU", "%.0f ms (%.2f us/byte)" % (up_cpu * 1e3, up_cpu * 1e6 / 65536), "<= 100 ms"),
        ("64 KiB download, unpaced: CPU", "%.0f ms (%.2f us/byte)" % (down_cpu * 1e3, down_cpu * 1e6 / 65536), "<= 100 ms"),
        ("idle: ROM list key wait (terminal), 5 s", "%.2f %% of a core" % (list_idle * 100), "< 1 %"),
        ("idle: pause after execute, 5 s", "%.2f %% of a core" % (pause_idle * 100), "< 1 %"),
        ("peak resident memory of a session", "%.2f MiB" % (rss / 1024), "< 4 MiB"),
    ]
    print("Chipferry benchmark, %s, %d cores" % (datetime.date.today().isoformat(), os.cpu_count()))
    print()
    print("| measure | result | target |")
    print("|---|---|---|")
    for name, result, target in rows:
        print("| %s | %s | %s |" % (name, result, target))


if __name__ == "__main__":
    main()
