#!/usr/bin/env python3
"""A stop keeps the answer owed for a message whose flush is held still.

`tavrin` runs headless with the fsync gate shim. A 1 MB message to two users, with
a NOOP pipelined behind its ".", waits in its flush when the program is
stopped (SIGTERM, then TavrinForceShutdown in a second run). The listener
refuses and an idle session is closed, but the program stays; once the flush
may end the client gets its 250 and no answer to the NOOP, the program exits
0, and each user has the message once.

usage: stop_test.py BINARY_DIR FSYNC_GATE_SHIM
"""
import os
import select
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile

from support.program import free_port, make_users, program_env, wait_until


def refuses(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return False
    except ConnectionRefusedError:
        return True
    except ConnectionResetError:  # taken by the kernel as the listener closed: ask again
        return False


def closed_by_server(sock, seconds):
    if not select.select([sock], [], [], seconds)[0]:
        return False
    try:
        return sock.recv(4096) == b""
    except ConnectionResetError:
        return True


def logged_in(port):
    s = smtplib.SMTP("127.0.0.1", port, timeout=30)
    s.ehlo("client.test")
    s.user, s.password = "alice", "secret"
    s.auth("LOGIN", s.auth_login, initial_response_ok=False)
    return s


def run(binary_dir, shim, home, stop):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    make_users(data, ("alice", "bob"))
    gate = os.path.join(home, "gate")
    env = program_env(home, LD_PRELOAD=shim, TAVRIN_FSYNC_GATE=gate)
    log, out = os.path.join(home, "tavrin.log"), os.path.join(home, "tavrin.out")
    read = lambda path: open(path, errors="replace").read() if os.path.exists(path) else ""
    smtp = free_port()
    with open(os.path.join(data, "Tavrin.ini"), "w") as f:
        f.write("[General]\r\nServer Name=localhost\r\nLog Level=8\r\nLog File=%s\r\n[Smtp Server]\r\n"
                "Bind Address=127.0.0.1\r\nListen Port=%d\r\n[Pop 3 Server]\r\nBind Address=127.0.0.1\r\n"
                "Listen Port=%d\r\n" % (log, smtp, free_port()))
    proc = subprocess.Popen([os.path.join(binary_dir, "admin", "tavrin")], env=env, stdout=open(out, "w"),
                            stderr=subprocess.STDOUT)
    assert wait_until(lambda: proc.poll() is not None or not refuses(smtp), 60) and proc.poll() is None, read(out)
    try:
        idle = logged_in(smtp)
        s = logged_in(smtp)
        s.mail("alice@localhost")
        s.rcpt("alice@localhost")
        s.rcpt("bob@localhost")
        s.putcmd("data")
        assert s.getreply()[0] == 354
        open(gate, "w").close()
        # 1 MB: a big message is written and flushed apart from the others.
        s.send("Subject: held at the stop\r\n\r\n" + ("x" * 1022 + "\r\n") * 1024 + ".\r\nNOOP\r\n")
        assert wait_until(lambda: os.path.exists(gate + ".held"), 30), "no flush under way"

        if stop == "SIGTERM":
            proc.send_signal(signal.SIGTERM)
        else:
            subprocess.run([os.path.join(binary_dir, "tools", "tavrin-send"), "-t", "5000", stop], env=env,
                           timeout=30)
        assert wait_until(lambda: refuses(smtp), 30), "still listening in the stop"
        assert closed_by_server(idle.sock, 30), "an idle session outlived the stop"
        assert proc.poll() is None, "ended with a commit under way (%s)" % proc.returncode

        os.remove(gate)
        assert s.getreply() == (250, b"Mail Queued for Delivery")
        assert s.file.read() == b"", "the NOOP after the message was taken up"
        assert proc.wait(timeout=60) == 0, proc.returncode
        for user in ("alice", "bob"):
            folder = os.path.join(data, "UserMail", user)
            stored = [n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n))
                      and not n.endswith(".ini")]
            assert len(stored) == 1, (user, stored)
        print("%s: answered 250, stored once for each user, exit 0" % stop)
    except BaseException:
        sys.stderr.write("".join(read(log).splitlines(True)[-40:]))
        raise
    finally:
        if os.path.exists(gate):
            os.remove(gate)
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def main():
    binary_dir, shim = sys.argv[1], sys.argv[2]
    for stop in ("SIGTERM", "TavrinForceShutdown"):
        with tempfile.TemporaryDirectory() as home:
            run(binary_dir, shim, home, stop)


if __name__ == "__main__":
    main()
