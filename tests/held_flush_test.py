#!/usr/bin/env python3
"""The program's one thread while the disk holds a flush of a list archive
entry or of the agent's failure notice.

The fsync gate shim (LD_PRELOAD) holds every fsync of a file whose path
contains a given text for as long as a gate file exists. With the gate closed on the
archive, a post to a list is still answered "250" and other clients are
served; with it closed on the mailbox the agent's notice goes to, the agent's
queue file stays until the notice is on disk, and clients are served
meanwhile, and a stop waits for the notice and the queue file's removal.
Opening the gate lets both finish. Every wait is bounded.

usage: held_flush_test.py BINARY_DIR FSYNC_GATE_SHIM
"""
import glob
import os
import smtplib
import subprocess
import sys
import tempfile

from support.program import free_port, listening, make_users, program_env, wait_until

BOUND = 30  # seconds: far beyond what any step takes, short of a hang


def served(port):
    """A new client gets its greeting and a reply to NOOP (whatever it is)."""
    s = smtplib.SMTP("127.0.0.1", port, timeout=BOUND)
    try:
        return s.noop()[0] > 0
    finally:
        s.close()


def texts(folder):
    out = []
    for path in glob.glob(os.path.join(folder, "*.txt")):
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def main():
    binary_dir, shim = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="tavrin-held-") as home:
        data = os.path.join(home, "data", "Quentar", "Tavrin")
        users = os.path.join(data, "UserMail")
        make_users(data, ("alice", "bob", "carol"))
        archive = os.path.join(home, "archive.txt")
        with open(os.path.join(users, "club.ini"), "wb") as f:
            f.write(("[Members]\r\n0=ACTIVE;NOMANAGER;bob@localhost\r\n1=ACTIVE;NOMANAGER;carol@localhost\r\n"
                     "[Digest]\r\nFilename=%s\r\n" % archive).encode())
        smtp_port, pop_port = free_port(), free_port()
        with open(os.path.join(data, "Tavrin.ini"), "wb") as f:
            f.write(("[General]\r\nServer Name=localhost\r\n[Smtp Server]\r\nBind Address=127.0.0.1\r\n"
                     "Listen Port=%d\r\n[Pop 3 Server]\r\nBind Address=127.0.0.1\r\nListen Port=%d\r\n"
                     "[Smtp Agent]\r\nPolling Interval (in seconds)=1\r\n" % (smtp_port, pop_port)).encode())
        gate = os.path.join(home, "gate")
        env = program_env(home, LD_PRELOAD=shim, TAVRIN_FSYNC_GATE=gate, TAVRIN_FSYNC_MATCH="archive.txt")
        proc = subprocess.Popen([os.path.join(binary_dir, "admin", "tavrin")], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            assert wait_until(lambda: proc.poll() is None and listening(smtp_port), BOUND), "the server did not listen"

            # A list post whose archive entry cannot be flushed yet.
            open(gate, "w").close()
            post = b"From: alice@localhost\r\nSubject: to the club\r\n\r\nclub body\r\n"
            with smtplib.SMTP("127.0.0.1", smtp_port, timeout=BOUND) as s:
                s.login("alice", "secret", initial_response_ok=False)
                s.sendmail("alice@localhost", ["club@localhost"], post)
            assert wait_until(lambda: os.path.exists(gate + ".held"), BOUND), "the archive entry was never flushed"
            assert served(smtp_port)
            assert any(b"club body" in t for t in texts(os.path.join(users, "bob")))
            os.remove(gate)
            assert wait_until(lambda: os.path.exists(archive) and b"club body" in open(archive, "rb").read(), BOUND)
            entry = open(archive, "rb").read()
            assert entry.endswith(b"club body\r\n(------------------)\r\n"), entry[-200:]
            assert entry.count(b"(------------------)") == 1, entry
        finally:
            proc.kill()
            proc.wait()

        # The agent's failure notice to alice, whose mailbox cannot be flushed
        # yet: a queue file whose retries are used up.
        os.remove(gate + ".held")
        env["TAVRIN_FSYNC_MATCH"] = "/alice/"
        queue = os.path.join(data, "MQueue")
        os.makedirs(queue, exist_ok=True)
        with open(os.path.join(queue, "7.txt"), "wb") as f:
            f.write(b"[Reverse Path]\r\nFrom=<alice@localhost>\r\n\r\n[Forward Path]\r\nTo=<far@[127.0.0.1]>\r\n\r\n"
                    b"[Retry]\r\nPerformed=6\r\nRemaining=-1\r\n\r\n[Message]\r\nSubject: lost\r\n\r\nlost body\r\n")
        open(gate, "w").close()
        proc = subprocess.Popen([os.path.join(binary_dir, "admin", "tavrin")], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            assert wait_until(lambda: proc.poll() is None and listening(smtp_port), BOUND), "the server did not listen"
            assert wait_until(lambda: os.path.exists(gate + ".held"), BOUND), "the notice was never flushed"
            assert served(smtp_port)
            assert os.path.exists(os.path.join(queue, "7.txt")), "queue file gone before its notice was stored"
            # A stop meanwhile waits for the notice and the queue file's
            # removal: left half-way, the next run would send the notice again.
            proc.terminate()
            assert wait_until(lambda: not listening(smtp_port), BOUND), "the stop did not close the listener"
            os.remove(gate)
            assert proc.wait(BOUND) == 0
            assert not os.path.exists(os.path.join(queue, "7.txt")), "the stop left the queue file behind its notice"
            notices = [t for t in texts(os.path.join(users, "alice")) if b"Undeliverable Mail" in t]
            assert len(notices) == 1, notices
            assert notices[0].endswith(b"\r\n\r\nSubject: lost\r\n\r\nlost body\r\n"), notices[0]
        finally:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    main()
