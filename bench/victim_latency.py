#!/usr/bin/env python3
"""What one pipelining client costs everyone else: the real program serves a
"victim" (an SMTP session after EHLO and a logged-in POP3 session, each
sending NOOP every 20 ms from a process of its own) while one more client
floods it, in three cases:

  pop3-unread   a logged-in POP3 client writes NOOP lines as fast as it can
                for FLOOD_S seconds and reads nothing;
  smtp-unread   the same over SMTP after EHLO;
  pop3-read     100,000 POP3 NOOPs in one burst, every reply read; all of
                them must arrive, in order.

    python3 bench/victim_latency.py build/admin/tavrin [FLOOD_S] [ROUNDS]

Prints, per case and round, the victim's worst and p99 NOOP round trip in ms
over the flood (both victim sessions together, then each), its idle worst
before, and the server's growth in resident size. Targets: worst at most
25 ms for the two unread cases, 50 ms for pop3-read.
Not a test: the machine's load moves these figures."""

import multiprocessing
import os
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bigmessage_memory import start_headless, status_kb  # noqa: E402


def read_line(sock, buf):
    while b"\r\n" not in buf[0]:
        got = sock.recv(65536)
        if not got:
            raise EOFError("connection closed")
        buf[0] += got
    line, buf[0] = buf[0].split(b"\r\n", 1)
    return line


def smtp_session(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    buf = [b""]
    read_line(s, buf)
    s.sendall(b"EHLO victim.test\r\n")
    while read_line(s, buf)[3:4] == b"-":
        pass
    return s, buf


def pop3_session(port, user):
    # The flooder of the case before may still hold the mailbox while the
    # server ends its session.
    for _ in range(100):
        s = socket.create_connection(("127.0.0.1", port), timeout=60)
        buf = [b""]
        read_line(s, buf)
        s.sendall(b"USER " + user.encode() + b"\r\nPASS secret\r\n")
        read_line(s, buf)
        line = read_line(s, buf)
        if line.startswith(b"+OK"):
            return s, buf
        s.close()
        time.sleep(0.1)
    raise AssertionError(line)


def victim(smtp_port, pop_port, ready, stop, out):
    """Two sessions, each NOOP every 20 ms; out gets (kind, start, ms) samples."""
    samples = []
    sessions = [("smtp",) + smtp_session(smtp_port), ("pop3",) + pop3_session(pop_port, "bob")]

    def run(kind, s, buf):
        while not stop.is_set():
            t0 = time.perf_counter()
            s.sendall(b"NOOP\r\n")
            read_line(s, buf)
            t1 = time.perf_counter()
            samples.append((kind, t0, (t1 - t0) * 1000.0))
            time.sleep(max(0.0, 0.020 - (t1 - t0)))

    threads = [threading.Thread(target=run, args=x) for x in sessions]
    ready.set()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    out.put(samples)


def flood_unread(port, pop3, seconds):
    """Writes NOOPs for `seconds`, reading nothing; returns the bytes written."""
    s, _ = pop3_session(port, "alice") if pop3 else smtp_session(port)
    s.setblocking(False)
    chunk = b"NOOP\r\n" * 2000
    written = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            written += s.send(chunk)
        except BlockingIOError:
            time.sleep(0.001)  # the server holds: its reading has stopped
    s.close()
    return written


def flood_read(port, count):
    """count NOOPs in one burst while another thread reads every reply."""
    s, buf = pop3_session(port, "alice")
    got = [0, True]

    def reader():
        while got[0] < count:
            line = read_line(s, buf)
            got[1] = got[1] and line == b"+OK"
            got[0] += 1

    t = threading.Thread(target=reader)
    t.start()
    s.sendall(b"NOOP\r\n" * count)
    t.join()
    s.close()
    return got[0] == count and got[1]


def summary(samples):
    if not samples:
        return "no samples"
    ms = sorted(x[2] for x in samples)
    p99 = ms[min(len(ms) - 1, int(len(ms) * 0.99))]
    return "worst %.1f p99 %.1f (n=%d)" % (ms[-1], p99, len(ms))


def one_round(proc, smtp_port, pop_port, case, flood_s):
    ctx = multiprocessing.get_context("spawn")
    ready, stop, out = ctx.Event(), ctx.Event(), ctx.Queue()
    v = ctx.Process(target=victim, args=(smtp_port, pop_port, ready, stop, out))
    v.start()
    ready.wait(30)
    time.sleep(1.0)  # the idle baseline
    rss0 = status_kb(proc.pid, "VmRSS")
    peak = [rss0]
    sampling = threading.Event()

    def sample():
        while not sampling.wait(0.05):
            peak[0] = max(peak[0], status_kb(proc.pid, "VmRSS"))

    sampler = threading.Thread(target=sample)
    sampler.start()
    t0 = time.perf_counter()
    note = ""
    if case == "pop3-read":
        note = "all 100,000 in order: %s" % flood_read(pop_port, 100000)
    else:
        note = "%d bytes of NOOPs written" % flood_unread(pop_port if case == "pop3-unread" else smtp_port,
                                                          case == "pop3-unread", flood_s)
    t1 = time.perf_counter()
    # What the server still owes the flooder is answered after its end:
    # the victim's round trips of that time count too.
    time.sleep(0.5)
    sampling.set()
    sampler.join()
    rss1 = peak[0]
    stop.set()
    samples = out.get(timeout=60)
    v.join(30)
    idle = [x for x in samples if x[1] < t0]
    during = [x for x in samples if t0 <= x[1] <= t1 + 0.5]
    print("%-12s flood %.1f s: victim %s; smtp %s; pop3 %s; idle worst %.1f ms; peak RSS +%.1f MB; %s" % (
        case, t1 - t0, summary(during), summary([x for x in during if x[0] == "smtp"]),
        summary([x for x in during if x[0] == "pop3"]), max((x[2] for x in idle), default=0.0),
        (rss1 - rss0) / 1000.0, note))
    sys.stdout.flush()


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = sys.argv[1]
    flood_s = float(sys.argv[2]) if len(sys.argv) > 2 else 6.0
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    cases = ("pop3-unread", "smtp-unread", "pop3-read")
    with tempfile.TemporaryDirectory(prefix="tavrin-victim-") as home:
        proc, _, smtp_port, pop_port = start_headless(binary, home, ("alice", "bob"))
        try:
            for _ in range(rounds):
                for case in cases:
                    one_round(proc, smtp_port, pop_port, case, flood_s)
                    # The flooder's session ends (and its mailbox unlocks)
                    # once its output is gone.
                    time.sleep(1.0)
        finally:
            proc.terminate()
            try:
                proc.wait(30)
            except Exception:
                proc.kill()
                proc.wait()


if __name__ == "__main__":
    main()
