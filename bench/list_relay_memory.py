#!/usr/bin/python3
"""Memory of a big message through the list processor and through the agent:
the real program takes a SIZE MB post to a 3-member list (with an archive)
over SMTP, then a SIZE MB message for a foreign recipient, which the agent
relays to an aiosmtpd sink on port 25 of 127.0.0.77. The resident size is
read from /proc before each, at its high-water mark (reset between the two),
and TAIL seconds after each has ended.

    /usr/bin/python3 bench/list_relay_memory.py build/admin/tavrin [SIZE_MB] [TAIL_S]

Needs aiosmtpd and the right to listen on port 25. Prints one line per
figure, in MB (10^6 bytes). Not a test: the machine's load moves these."""

import glob
import os
import smtplib
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bigmessage_memory import start_headless, status_kb  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

SINK = "127.0.0.77"


class Counter:
    def __init__(self):
        self.received = 0
        self.done = threading.Event()

    async def handle_DATA(self, server, session, envelope):
        self.received += len(envelope.content)
        self.done.set()
        return "250 OK"


def reset_peak(pid):
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")


def main():
    binary = os.path.abspath(sys.argv[1])
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    tail_s = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    line = b"x" * 898 + b"\r\n"  # long lines: the agent's pacing is per 100 lines
    body = line * (size_mb * 1000000 // len(line))
    counter = Counter()
    sink = Controller(counter, hostname=SINK, port=25, data_size_limit=0)
    sink.start()
    figures = []
    try:
        with tempfile.TemporaryDirectory(prefix="tavrin-listrelay-") as home:
            def club(data):
                with open(os.path.join(data, "UserMail", "club.ini"), "wb") as f:
                    f.write(("[Members]\r\n0=ACTIVE;NOMANAGER;bob@localhost\r\n1=ACTIVE;NOMANAGER;carol@localhost\r\n"
                             "2=ACTIVE;NOMANAGER;dave@localhost\r\n[Digest]\r\nFilename=%s\r\n"
                             % os.path.join(home, "archive.txt")).encode())
            proc, data, smtp_port, _ = start_headless(binary, home, ("alice", "bob", "carol", "dave"),
                                                      "[Smtp Agent]\r\nFire Queue Immediately=1\r\n", club)
            users = os.path.join(data, "UserMail")
            try:
                time.sleep(1.0)

                def measure(name, send, finished):
                    base = status_kb(proc.pid, "VmRSS:")
                    reset_peak(proc.pid)
                    start = time.monotonic()
                    send()
                    while not finished() and time.monotonic() - start < 600:
                        time.sleep(0.05)
                    took = time.monotonic() - start
                    peak = status_kb(proc.pid, "VmHWM:")
                    time.sleep(tail_s)
                    tail = status_kb(proc.pid, "VmRSS:")
                    figures.append((name, base, peak, tail, took))

                def sendmail(to, message):
                    with smtplib.SMTP("127.0.0.1", smtp_port, timeout=300) as s:
                        s.login("alice", "secret", initial_response_ok=False)
                        s.sendmail("alice@localhost", [to], message)

                post = b"From: alice@localhost\r\nSubject: big post\r\n\r\n" + body
                stored = lambda: all(glob.glob(os.path.join(users, u, "*.txt")) for u in ("bob", "carol", "dave"))
                measure("list_post", lambda: sendmail("club@localhost", post), stored)

                relay = b"From: alice@localhost\r\nSubject: big relay\r\n\r\n" + body
                queue = os.path.join(data, "MQueue")
                relayed = lambda: counter.done.is_set() and not glob.glob(os.path.join(queue, "*.txt"))
                measure("relay", lambda: sendmail("far@[%s]" % SINK, relay), relayed)
            finally:
                proc.terminate()
                proc.wait(30)
    finally:
        sink.stop()
    mb = lambda kb: kb * 1024 / 1e6
    print("message_mb=%.1f relayed_mb=%.1f" % (len(body) / 1e6, counter.received / 1e6))
    for name, base, peak, tail, took in figures:
        print("%s: rss_base_mb=%.1f peak_growth_mb=%.1f tail_growth_mb=%.1f (after %.0f s) took_s=%.1f" % (
            name, mb(base), mb(peak - base), mb(tail - base), tail_s, took))


if __name__ == "__main__":
    main()
