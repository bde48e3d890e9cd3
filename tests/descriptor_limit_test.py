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
import random
import resource
import select
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

SOFT, HARD = 128, 256
CROWD = 1000


def wait_until(pred, seconds):
    deadline = time.monotonic() + seconds
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def message(subject):
    return "From: alice@localhost\r\nTo: alice@localhost\r\nSubject: %s\r\n\r\nbody of %s\r\n" % (subject, subject)


def run(binary_dir, home):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    os.makedirs(os.path.join(data, "UserMail", "alice", "BAK"))
    with open(os.path.join(data, "UserMail", "alice", "alice.ini"), "w") as f:
        f.write("[User Information]\r\nPassword=secret\r\n")
    os.mkdir(os.path.join(home, "run"), 0o700)
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
               XDG_RUNTIME_DIR=os.path.join(home, "run"), QT_QPA_PLATFORM="offscreen")
    log, out = os.path.join(home, "tavrin.log"), os.path.join(home, "tavrin.out")
    sender = os.path.join(binary_dir, "tools", "tavrin-send")
    read = lambda path: open(path, errors="replace").read() if os.path.exists(path) else ""

    def running(pid):
        r = subprocess.run([sender, "-t", "5000", "TavrinSendStatus"], env=env, capture_output=True, text=True,
                           timeout=30)
        return "wParam=%d lParam=7 " % pid in r.stdout

    # Ports below the kernel's ephemeral range, held by the program itself: on
    # a port some other process holds, it is started again on others.
    first_ephemeral = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
    rng = random.Random(os.getpid())
    for _ in range(5):
        smtp, pop3 = rng.sample(range(10000, first_ephemeral), 2)
        if os.path.exists(log):
            os.remove(log)
        with open(os.path.join(data, "Tavrin.ini"), "w") as f:
            f.write("[General]\r\nServer Name=localhost\r\nLog Level=8\r\nLog File=%s\r\n"
                    "[Smtp Server]\r\nBind Address=127.0.0.1\r\nListen Port=%d\r\n"
                    "[Pop 3 Server]\r\nBind Address=127.0.0.1\r\nListen Port=%d\r\n" % (log, smtp, pop3))
        proc = subprocess.Popen([os.path.join(binary_dir, "admin", "tavrin")], env=env, stdout=open(out, "a"),
                                stderr=subprocess.STDOUT,
                                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (SOFT, HARD)))
        refused = lambda: "Can't Bind" in read(log)
        wait_until(lambda: proc.poll() is not None or refused() or running(proc.pid), 60)
        if proc.poll() is None and not refused() and running(proc.pid):
            break
        proc.kill()
        proc.wait()
    else:
        sys.exit("the program did not listen:\n" + read(out) + read(log))
    try:
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

        subprocess.run([sender, "-t", "5000", "TavrinForceShutdown"], env=env, timeout=30)
        assert wait_until(lambda: proc.poll() is not None, 60), "the program did not stop"
        assert proc.returncode == 0, proc.returncode
        print("greeted %d of %d; served before, during and after" % (greeted, CROWD))
    except BaseException:
        sys.stderr.write("".join(read(log).splitlines(True)[-40:]))
        raise
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


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
