#!/usr/bin/env python3
"""The whole program when clients take every descriptor it may open.

`tavrin` runs headless with a soft descriptor limit of 128 under a hard one of
256 (which it raises to). 1,000 clients connect, half SMTP, half POP3, and
never read. The program stays alive, sessions opened before the crowd still
deliver and retrieve (both need files), and once the crowd has gone new
clients are served again. Every wait is bounded.

usage: descriptor_limit_test.py BINARY_DIR   (exit 77: skipped)
"""
import os
import poplib
import resource
import select
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

from support.program import make_users, program_env, read, start_program, stop_program, wait_until, watched

SOFT, HARD = 128, 256
CROWD = 1000


def message(subject):
    return "From: alice@localhost\r\nTo: alice@localhost\r\nSubject: %s\r\n\r\nbody of %s\r\n" % (subject, subject)


def run(binary_dir, home):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    make_users(data, ("alice",))
    env = program_env(home)
    log, out = os.path.join(home, "tavrin.log"), os.path.join(home, "tavrin.out")
    proc, smtp, pop3 = start_program(binary_dir, env, data, log, stdout=open(out, "a"), stderr=subprocess.STDOUT,
                                     preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (SOFT, HARD)))
    with watched(log, lambda: proc):
        limits = [l.split()[3:5] for l in open("/proc/%d/limits" % proc.pid) if l.startswith("Max open files")]
        assert limits == [[str(HARD)] * 2], "soft limit not raised: %s" % limits

        def smtp_session():
            s = smtplib.SMTP("127.0.0.1", smtp, timeout=60)
            s.ehlo("client.test")
            s.user, s.password = "alice", "secret"
            s.auth("LOGIN", s.auth_login, initial_response_ok=False)
            return s

        def pop3_session():
            p = poplib.POP3("127.0.0.1", pop3, timeout=60)
            p.user("alice")
            p.pass_("secret")
            return p

        early = smtp_session()
        early.sendmail("alice@localhost", ["alice@localhost"], message("before the crowd"))
        reader = pop3_session()
        crowd = [socket.create_connection(("127.0.0.1", (smtp, pop3)[i % 2]), timeout=30) for i in range(CROWD)]
        poller = select.poll()
        for c in crowd:
            poller.register(c, select.POLLIN)
        # The program has taken in what it will once no more of the crowd is
        # greeted for a second.
        greeted, quiet_since, deadline = 0, time.monotonic(), time.monotonic() + 60
        while time.monotonic() - quiet_since < 1.0 and time.monotonic() < deadline:
            now = len(poller.poll(100))
            if now != greeted:
                greeted, quiet_since = now, time.monotonic()
        assert proc.poll() is None, "ended under the crowd (%s):\n%s" % (proc.returncode, read(out))
        assert 0 < greeted < CROWD, greeted

        early.sendmail("alice@localhost", ["alice@localhost"], message("during the crowd"))
        assert b"body of before the crowd" in b"\n".join(reader.retr(1)[1])
        early.quit()
        reader.quit()
        for c in crowd:
            c.close()

        late = smtp_session()
        late.sendmail("alice@localhost", ["alice@localhost"], message("after the crowd"))
        late.quit()
        fetch = pop3_session()
        count = fetch.stat()[0]
        texts = b"\n".join(b"\n".join(fetch.retr(i)[1]) for i in range(1, count + 1))
        fetch.quit()
        assert count == 3, count
        for when in (b"before", b"during", b"after"):
            assert b"Subject: " + when + b" the crowd" in texts, texts

        stop_program(binary_dir, env, proc)
        print("greeted %d of %d; served before, during and after" % (greeted, CROWD))


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < CROWD + 100:
        print("skipped: this test needs %d descriptors" % (CROWD + 100))
        sys.exit(77)
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096 if hard == resource.RLIM_INFINITY else hard, hard))
    with tempfile.TemporaryDirectory(prefix="tavrin-fd-") as home:
        run(sys.argv[1], home)


if __name__ == "__main__":
    main()
