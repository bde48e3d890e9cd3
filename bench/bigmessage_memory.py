#!/usr/bin/env python3
"""Memory of one big message: the real program takes one message of SIZE MB
over SMTP (AUTH LOGIN, smtplib) and hands it back over POP3 (poplib); its
resident size is read from /proc before, at its high-water mark, and TAIL
seconds after the fetch.

    python3 bench/bigmessage_memory.py build/admin/tavrin [SIZE_MB] [TAIL_S]

Prints one line per figure, in MB (10^6 bytes), and whether the growth stayed
within twice the message's size at the peak and within 32 MB afterwards.

    python3 bench/bigmessage_memory.py build/admin/tavrin --streams [N] [SIZE_MB]

N clients (default 20) each stream SIZE_MB (default 100) of DATA at once and
hold it unfinished; then the odd ones end their message and the even ones
drop their connection. Prints the growth of the resident size at its peak
(limit 256 MB), the replies of the finishing ones, whether their messages
are stored whole, and what is left on disk besides them.
Not a test: the machine's load moves these figures."""

import threading

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


def start_headless(binary, home, users, ini_extra="", prepare=None):
    """Starts the program headless in a private home, with these users
    (password "secret"); prepare(data folder) runs before it starts. Returns
    (process, data folder, SMTP port, POP3 port) once it listens."""
    smtp_port, pop_port = free_port(), free_port()
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    for user in users:
        os.makedirs(os.path.join(data, "UserMail", user, "BAK"))
        with open(os.path.join(data, "UserMail", user, user + ".ini"), "wb") as f:
            f.write(b"[User Information]\r\nPassword=secret\r\n")
    with open(os.path.join(data, "Tavrin.ini"), "wb") as f:
        f.write(("[General]\r\nServer Name=localhost\r\n[Smtp Server]\r\nListen Port=%d\r\n"
                 "[Pop 3 Server]\r\nListen Port=%d\r\n%s" % (smtp_port, pop_port, ini_extra)).encode())
    if prepare:
        prepare(data)
    run = os.path.join(home, "run")
    os.mkdir(run, 0o700)
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=run,
               QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not (wait_listening(smtp_port, proc) and wait_listening(pop_port, proc)):
        proc.kill()
        sys.exit("the server did not listen")
    return proc, data, smtp_port, pop_port


def smtp_line(sock, line):
    sock.sendall(line + b"\r\n")
    reply = b""
    while not reply.endswith(b"\r\n") or reply.split(b"\r\n")[-2][3:4] == b"-":
        got = sock.recv(4096)
        if not got:
            break
        reply += got
    return reply.decode("latin-1").strip()


def stream(port, size_mb, finish, result):
    """One client: AUTH LOGIN, one message of size_mb to alice, then the final
    "." (finish) or a dropped connection."""
    s = socket.create_connection(("127.0.0.1", port), timeout=300)
    try:
        s.recv(4096)
        smtp_line(s, b"EHLO streams.test")
        smtp_line(s, b"AUTH LOGIN")
        smtp_line(s, b"YWxpY2U=")
        smtp_line(s, b"c2VjcmV0")
        smtp_line(s, b"MAIL FROM:<alice@localhost>")
        smtp_line(s, b"RCPT TO:<alice@localhost>")
        smtp_line(s, b"DATA")
        chunk = (b"s" * 78 + b"\r\n") * 12800  # 1,024,000 bytes
        s.sendall(b"Subject: stream\r\n\r\n")
        for _ in range(size_mb * 1000000 // len(chunk)):
            s.sendall(chunk)
        result["sent"] = True
        result["barrier"].wait()
        if finish:
            result["reply"] = smtp_line(s, b".")
            smtp_line(s, b"QUIT")
    except Exception as e:  # noqa: BLE001 - a figure, not a test
        result["reply"] = "error: %s" % e
        result["barrier"].abort()
    finally:
        s.close()


def streams(binary, clients, size_mb):
    with tempfile.TemporaryDirectory(prefix="tavrin-streams-") as home:
        proc, data, smtp_port, _ = start_headless(binary, home, ("alice",))
        box = os.path.join(data, "UserMail", "alice")
        try:
            time.sleep(1.0)
            base = status_kb(proc.pid, "VmRSS:")
            barrier = threading.Barrier(clients + 1)
            results = [{"barrier": barrier} for _ in range(clients)]
            threads = [threading.Thread(target=stream, args=(smtp_port, size_mb, i % 2 == 1, results[i]))
                       for i in range(clients)]
            start = time.monotonic()
            for t in threads:
                t.start()
            barrier.wait()  # every client has sent its text and holds it unfinished
            streamed = time.monotonic() - start
            for t in threads:
                t.join()
            time.sleep(2.0)
            peak = status_kb(proc.pid, "VmHWM:")
            now = status_kb(proc.pid, "VmRSS:")
            expected = b"Subject: stream\r\n\r\n" + (b"s" * 78 + b"\r\n") * (
                12800 * (size_mb * 1000000 // 1024000))
            stored = [os.path.join(box, n) for n in os.listdir(box) if n.endswith(".txt")]
            whole = 0
            for path in stored:
                with open(path, "rb") as f:
                    if f.read().endswith(expected):
                        whole += 1
            others = []
            for root, dirs, files in os.walk(data):
                for n in files:
                    path = os.path.join(root, n)
                    if path not in stored and not n.endswith(".ini") and n != "Tavrin.log":
                        others.append(os.path.relpath(path, data))
        finally:
            proc.terminate()
            proc.wait(30)
    mb = lambda kb: kb * 1024 / 1e6
    replies = [r.get("reply") for r in results if "reply" in r]
    finishing = clients // 2
    print("clients=%d each_mb=%d streamed_in_s=%.1f" % (clients, size_mb, streamed))
    print("rss_base_mb=%.1f peak_growth_mb=%.1f growth_after_mb=%.1f peak_within_256mb=%s" % (
        mb(base), mb(peak - base), mb(now - base), mb(peak - base) <= 256))
    print("finishing=%d replies_250=%d stored=%d stored_whole=%d other_files=%s" % (
        finishing, sum(1 for r in replies if r and r.startswith("250")), len(stored), whole, others))


def main():
    if len(sys.argv) > 2 and sys.argv[2] == "--streams":
        streams(os.path.abspath(sys.argv[1]), int(sys.argv[3]) if len(sys.argv) > 3 else 20,
                int(sys.argv[4]) if len(sys.argv) > 4 else 100)
        return
    binary = os.path.abspath(sys.argv[1])
    size_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    tail_s = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    with tempfile.TemporaryDirectory(prefix="tavrin-bigmsg-") as home:
        proc, _, smtp_port, pop_port = start_headless(binary, home, ("alice",))
        try:
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
