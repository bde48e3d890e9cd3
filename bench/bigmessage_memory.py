#!/usr/bin/env python3
"""Memory of one big message: the real program takes one message of SIZE MB
over SMTP (AUTH LOGIN, smtplib) and hands it back over POP3 (poplib); its
resident size is read from /proc before, at its high-water mark, and TAIL
seconds after the fetch.

    python3 bench/bigmessage_memory.py build/admin/tavrin [SIZE_MB] [TAIL_S]

Prints one line per figure, in MB (10^6 bytes), and whether the growth stayed
within twice the message's size at the peak and within 32 MB afterwards.
Not a test: the machine's load moves these figures."""

import os
import poplib
import smtplib
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0


def wait_listening(port, proc, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def main():
    binary = os.path.abspath(sys.argv[1])
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    tail_s = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    smtp_port, pop_port = free_port(), free_port()
    with tempfile.TemporaryDirectory(prefix="tavrin-bigmsg-") as home:
        data = os.path.join(home, "data", "Quentar", "Tavrin")
        os.makedirs(os.path.join(data, "UserMail", "alice", "BAK"))
        with open(os.path.join(data, "UserMail", "alice", "alice.ini"), "wb") as f:
            f.write(b"[User Information]\r\nPassword=secret\r\n")
        with open(os.path.join(data, "Tavrin.ini"), "wb") as f:
            f.write(("[General]\r\nServer Name=localhost\r\n[Smtp Server]\r\nListen Port=%d\r\n"
                     "[Pop 3 Server]\r\nListen Port=%d\r\n" % (smtp_port, pop_port)).encode())
        run = os.path.join(home, "run")
        os.mkdir(run, 0o700)
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=run,
                   QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not (wait_listening(smtp_port, proc) and wait_listening(pop_port, proc)):
                sys.exit("the server did not listen")
            line = b"x" * 76 + b"\r\n"
            body = line * (size_mb * 1000000 // len(line))
            message = b"From: alice@localhost\r\nSubject: big\r\n\r\n" + body
            time.sleep(1.0)  # let start-up settle before the baseline
            base = status_kb(proc.pid, "VmRSS:")
            with smtplib.SMTP("127.0.0.1", smtp_port, timeout=120) as s:
                s.login("alice", "secret", initial_response_ok=False)
                s.sendmail("alice@localhost", ["alice@localhost"], message)
            after_smtp = status_kb(proc.pid, "VmRSS:")
            p = poplib.POP3("127.0.0.1", pop_port, timeout=120)
            p.user("alice")
            p.pass_("secret")
            got = p.retr(1)
            p.quit()
            fetched = sum(len(l) + 2 for l in got[1])
            time.sleep(tail_s)
            tail = status_kb(proc.pid, "VmRSS:")
            peak = status_kb(proc.pid, "VmHWM:")
        finally:
            proc.terminate()
            proc.wait(30)
    mb = lambda kb: kb * 1024 / 1e6
    size = len(message) / 1e6
    print("message_mb=%.1f fetched_mb=%.1f" % (size, fetched / 1e6))
    print("rss_base_mb=%.1f after_smtp_mb=%.1f peak_growth_mb=%.1f tail_growth_mb=%.1f (after %.0f s)" % (
        mb(base), mb(after_smtp), mb(peak - base), mb(tail - base), tail_s))
    print("peak_within_2x=%s tail_within_32mb=%s" % (mb(peak - base) <= 2 * size, mb(tail - base) <= 32))


if __name__ == "__main__":
    main()
