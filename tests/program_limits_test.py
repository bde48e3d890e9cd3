#!/usr/bin/env python3
"""The whole program at the limits of its machine: left-overs and threads.

Temporary copies of a run killed while writing lie in the hidden folders
beside the stored files (the base folder, each mailbox and its backups, the
queue, the list folder). Their names hold a pid that may be alive again: pid 1
(the server's own in a container, every time) or any live process's. `tavrin`
starts headless over such files; every one of them goes, nothing stored goes
with them, and mail is stored as usual.

It runs with a preloaded shim that refuses every new thread while a flag file
exists: a message that then finds no thread for its commit is refused with
451, the program lives on, logs the refusal once, and stores the next message
once threads are to be had again. Every wait is bounded.

usage: program_limits_test.py BINARY_DIR
"""
import os
import smtplib
import subprocess
import sys
import tempfile

from support.program import program_env, read, start_program, stop_program, wait_until, watched


def run(binary_dir, home):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    box = os.path.join(data, "UserMail", "alice")
    os.makedirs(os.path.join(box, "BAK"))
    with open(os.path.join(box, "alice.ini"), "w") as f:
        f.write("[User Information]\r\nPassword=secret\r\nBackUp Mail Data=1\r\n")
    stored = os.path.join(box, "20260101-000000.txt")
    with open(stored, "w") as f:
        f.write("Subject: stored before\r\n\r\nkept\r\n")
    lists = os.path.join(data, "Lists")
    refuse = os.path.join(home, "refuse-threads")
    env = program_env(home, TAVRIN_REFUSE_THREADS_WHILE=refuse)
    shim = os.path.join(binary_dir, "tests", "libtavrin_thread_refusal.so")
    log = os.path.join(home, "tavrin.log")

    stale = []
    for folder, name in [(data, "t1-0-5"), (os.path.join(data, "UserMail"), "t1-0123456789abcdef-0"),
                         (box, "t%d-7-1" % os.getpid()), (os.path.join(box, "BAK"), "t1-deadbeefdeadbeef-3"),
                         (os.path.join(data, "MQueue"), "t1-0-1"), (lists, "t%d-0-2" % os.getppid())]:
        os.makedirs(os.path.join(folder, ".tmp:"), exist_ok=True)
        stale.append(os.path.join(folder, ".tmp:", name))
        with open(stale[-1], "wb") as f:
            f.write(b"x" * 4096)

    proc, smtp, _ = start_program(binary_dir, env, data, log, "[Directories]\r\nMailing List Path=%s\r\n" % lists,
                                  preload=shim, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with watched(log, lambda: proc):
        gone = wait_until(lambda: not any(os.path.exists(p) for p in stale), 30)
        assert gone, "left: %s" % [p for p in stale if os.path.exists(p)]
        assert os.path.exists(stored)
        s = smtplib.SMTP("127.0.0.1", smtp, timeout=60)
        s.ehlo("client.test")
        s.user, s.password = "alice", "secret"
        s.auth("LOGIN", s.auth_login, initial_response_ok=False)
        open(refuse, "w").close()
        try:
            s.sendmail("alice@localhost", ["alice@localhost"], "Subject: no thread\r\n\r\nbody\r\n")
            raise AssertionError("stored without a thread to commit it")
        except smtplib.SMTPDataError as e:
            assert e.smtp_code == 451, e
        os.remove(refuse)
        s.sendmail("alice@localhost", ["alice@localhost"], "Subject: after the start\r\n\r\nbody\r\n")
        s.quit()
        names = sorted(n for n in os.listdir(box) if n.endswith(".txt"))
        backups = [n for n in os.listdir(os.path.join(box, "BAK")) if not n.startswith(".")]
        assert len(names) == 2 and len(backups) == 1, (names, backups)
        assert read(log).count("the system refused the committer's thread") == 1, read(log)
        stop_program(binary_dir, env, proc)


def main():
    with tempfile.TemporaryDirectory(prefix="tavrin-tmp-") as home:
        run(sys.argv[1], home)


if __name__ == "__main__":
    main()
