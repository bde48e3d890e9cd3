#!/usr/bin/env python3
"""What unfinished messages, long lines and many clients cost the real
program in memory, and whether it gives that memory back. The program runs
headless with one user; its resident size is read from /proc (VmRSS, and
VmHWM for the peak, reset before each case through clear_refs).

    python3 bench/unfinished_memory.py build/admin/tavrin [CASE ...]

Cases (all by default):
  data200   200 clients each send 10 MB of DATA and never the "."   peak growth <= 256 MB
  data20    20 clients each send 100 MB of DATA and never the "."   peak growth <= 256 MB
  rounds    three rounds of data200, each dropped; RSS 10 s after    within 32 MB of idle
  prelogin  3,000 connections each send an unfinished line, close   RSS 10 s after within 32 MB of idle
  bareLF    3 MB and 30 MB messages with bare LF line ends, raw      250; RETR CR LF; LIST = RETR
  line30    one 30 MB line in DATA                                   250, stored whole; peak growth <= 64 MB
  line40    40 clients each send a 10 MB DATA line, never ended      peak <= 256 MB; nothing left on disk
  cmdline   a 10 MB command line outside DATA                        5xx and close
Prints one line per figure, in MB (10^6 bytes). Not a test: the machine's
load moves these figures."""

import os
import poplib
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bigmessage_memory import start_headless, status_kb  # noqa: E402

MB = 1000000
TAIL_S = 10.0


def rss(pid):
    return status_kb(pid, "VmRSS:") * 1024 / MB


def reset_peak(pid):
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


def peak(pid):
    return status_kb(pid, "VmHWM:") * 1024 / MB


def reply(f):
    line = f.readline()
    while line[3:4] == b"-":
        line = f.readline()
    return line.decode("latin-1").strip()


def open_data(port):
    """A session after DATA; returns (socket, its reader)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=600)
    f = s.makefile("rb")
    reply(f)
    for line in [b"EHLO bench.test", b"AUTH LOGIN", b"YWxpY2U=", b"c2VjcmV0", b"MAIL FROM:<alice@localhost>",
                 b"RCPT TO:<alice@localhost>", b"DATA"]:
        s.sendall(line + b"\r\n")
        reply(f)
    return s, f


def unfinished(port, clients, size_mb, chunk, barrier, errors):
    """Each client sends size_mb of chunk repeated after DATA, then waits at
    the barrier with its message unfinished."""
    try:
        s, _ = open_data(port)
        for _ in range(size_mb * MB // len(chunk)):
            s.sendall(chunk)
    except Exception as e:  # noqa: BLE001 - a figure, not a test
        errors.append(str(e))
        barrier.abort()
        return
    try:
        barrier.wait()
        barrier.wait()  # the figures are read
    except threading.BrokenBarrierError:
        pass
    s.close()


def run_unfinished(proc, port, clients, size_mb, chunk):
    barrier = threading.Barrier(clients + 1)
    errors = []
    threads = [threading.Thread(target=unfinished, args=(port, clients, size_mb, chunk, barrier, errors))
               for _ in range(clients)]
    start = time.monotonic()
    for t in threads:
        t.start()
    try:
        barrier.wait()
    except threading.BrokenBarrierError:
        pass
    took = time.monotonic() - start
    held = rss(proc.pid)
    try:
        barrier.wait()
    except threading.BrokenBarrierError:
        pass
    for t in threads:
        t.join()
    return took, held, errors


def wait_sessions_gone(proc, seconds=30):
    """Until the resident size stops falling (the server has released the sessions)."""
    deadline = time.monotonic() + seconds
    last = rss(proc.pid)
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = rss(proc.pid)
        if abs(now - last) < 0.5:
            return
        last = now


def case_data(proc, port, idle, clients, size_mb, chunk=(b"s" * 78 + b"\r\n") * 12800, limit=256):
    reset_peak(proc.pid)
    base = rss(proc.pid)
    took, held, errors = run_unfinished(proc, port, clients, size_mb, chunk)
    top = peak(proc.pid)
    time.sleep(TAIL_S)
    after = rss(proc.pid)
    print("clients=%d each_mb=%d sent_in_s=%.1f base_mb=%.1f held_growth_mb=%.1f peak_growth_mb=%.1f "
          "within_%dmb=%s rss_%ds_after_mb=%.1f over_idle_mb=%.1f errors=%d" % (
              clients, size_mb, took, base, held - base, top - base, limit, top - base <= limit, TAIL_S,
              after, after - idle, len(errors)))
    return after


def noop_victim(port, stop, worst):
    """Another client's NOOP every 10 ms until stop; the worst round trip in ms."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        f = s.makefile("rb")
        reply(f)
        while not stop.is_set():
            start = time.monotonic()
            s.sendall(b"NOOP\r\n")
            reply(f)
            worst[0] = max(worst[0], (time.monotonic() - start) * 1000)
            time.sleep(0.01)


def stored_files(data):
    box = os.path.join(data, "UserMail", "alice")
    return sorted(os.path.join(box, n) for n in os.listdir(box) if n.endswith(".txt"))


def leftovers(data):
    """Files besides the settings, the log and the stored messages."""
    out = []
    for root, _, files in os.walk(data):
        for n in files:
            if not n.endswith(".ini") and not n.endswith(".log") and not root.endswith("alice"):
                out.append(os.path.relpath(os.path.join(root, n), data))
    return out


def send_raw(port, text):
    s, f = open_data(port)
    with s:
        s.sendall(text + b"\r\n.\r\n")
        return reply(f)


def retr_last(pop_port):
    poplib._MAXLINE = 64 << 20
    p = poplib.POP3("127.0.0.1", pop_port, timeout=600)
    p.user("alice")
    p.pass_("secret")
    listed = [int(line.split()[1]) for line in p.list()[1]]
    _, lines, octets = p.retr(len(listed))
    p.quit()
    crlf = octets == sum(len(line) + 2 for line in lines)
    return listed[-1], octets, crlf, lines


def main():
    binary = os.path.abspath(sys.argv[1])
    cases = sys.argv[2:] or ["data200", "data20", "rounds", "prelogin", "bareLF", "line30", "line40", "cmdline"]
    with tempfile.TemporaryDirectory(prefix="tavrin-unfinished-") as home:
        proc, data, smtp_port, pop_port = start_headless(binary, home, ("alice",))
        try:
            time.sleep(1.0)
            idle = rss(proc.pid)
            print("idle_rss_mb=%.1f" % idle)
            for case in cases:
                print("[%s]" % case)
                if case == "data200":
                    case_data(proc, smtp_port, idle, 200, 10)
                elif case == "data20":
                    case_data(proc, smtp_port, idle, 20, 100)
                elif case == "rounds":
                    for i in range(3):
                        after = case_data(proc, smtp_port, idle, 200, 10)
                        print("round=%d rss_after_mb=%.1f within_32mb_of_idle=%s" % (i + 1, after,
                                                                                    after - idle <= 32))
                elif case == "prelogin":
                    socks = []
                    for _ in range(3000):
                        s = socket.create_connection(("127.0.0.1", smtp_port), timeout=60)
                        s.sendall(b"EHLO " + b"p" * 60000)
                        socks.append(s)
                    time.sleep(2.0)
                    held = rss(proc.pid)
                    worst = [0.0]
                    stop = threading.Event()
                    victim = threading.Thread(target=noop_victim, args=(smtp_port, stop, worst))
                    victim.start()
                    time.sleep(0.5)
                    for s in socks:
                        s.close()
                    wait_sessions_gone(proc)
                    stop.set()
                    victim.join()
                    print("victim_worst_noop_ms_during_release=%.1f" % worst[0])
                    time.sleep(TAIL_S)
                    after = rss(proc.pid)
                    print("connections=3000 held_mb=%.1f rss_%ds_after_mb=%.1f over_idle_mb=%.1f "
                          "within_32mb_of_idle=%s" % (held, TAIL_S, after, after - idle, after - idle <= 32))
                elif case == "bareLF":
                    for size in (3, 30):
                        line = b"a line of a Unix file, ended by a bare LF\n"
                        body = line * (size * MB // len(line))
                        r = send_raw(smtp_port, b"Subject: bare\n\n" + body)
                        listed, octets, crlf, lines = retr_last(pop_port)
                        whole = lines[4:] == body.split(b"\n")
                        print("size_mb=%d reply=%r list=%d retr_octets=%d list_equals_retr=%s crlf=%s whole=%s" % (
                            size, r[:30], listed, octets, listed == octets, crlf, whole))
                elif case == "line30":
                    reset_peak(proc.pid)
                    base = rss(proc.pid)
                    r = send_raw(smtp_port, b"Subject: one line\r\n\r\n" + b"w" * (30 * MB))
                    top = peak(proc.pid)
                    listed, octets, crlf, lines = retr_last(pop_port)
                    print("reply=%r stored_whole=%s peak_growth_mb=%.1f within_64mb=%s" % (
                        r[:30], lines[-1] == b"w" * (30 * MB), top - base, top - base <= 64))
                elif case == "line40":
                    reset_peak(proc.pid)
                    base = rss(proc.pid)
                    took, held, errors = run_unfinished(proc, smtp_port, 40, 10, b"L" * MB)
                    top = peak(proc.pid)
                    wait_sessions_gone(proc)
                    print("clients=40 line_mb=10 peak_growth_mb=%.1f within_256mb=%s left_on_disk=%s "
                          "errors=%d" % (top - base, top - base <= 256, leftovers(data), len(errors)))
                elif case == "cmdline":
                    with socket.create_connection(("127.0.0.1", smtp_port), timeout=60) as s:
                        s.recv(4096)
                        try:
                            s.sendall(b"X" * (10 * MB))
                        except OSError:
                            pass
                        answer = b""
                        while True:
                            got = s.recv(65536)
                            if not got:
                                break
                            answer += got
                    print("reply=%r closed=True" % answer)
            print("stored=%d" % len(stored_files(data)))
        finally:
            proc.terminate()
            proc.wait(60)


if __name__ == "__main__":
    main()
