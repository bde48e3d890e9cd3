#!/usr/bin/env python3
"""Runs the README's hand-made first user, first message and POP3 fetch, then
its start script and the client settings it names.

The commands are read from the README's section "A first user and a first
message, without a display": each block of indented lines runs as one, as
pasted, so the test and the README cannot drift. They run in a private HOME,
XDG_DATA_HOME and XDG_RUNTIME_DIR, from a folder whose "build" holds this build's
tool and its program behind a one-second delay, with the README's two ports replaced by free ones. Then
scripts/start.sh starts the server, and a second start must say that a copy
runs and leave it running; getmail6, fetchmail and smtplib must work with
the settings of the section "What Tavrin does not do".
Every wait is bounded; a server left running is killed.

usage: readme_test.py README.md BINARY_DIR
"""
import os
import re
import signal
import smtplib
import subprocess
import sys
import tempfile

from support.program import free_ports, wait_until

SECTION = "## A first user and a first message, without a display"
CLIENTS = "## What Tavrin does not do, and how its clients are set"


def section(text, title):
    start = text.index(title)
    end = text.find("\n## ", start + len(title))
    return text[start:end if end >= 0 else len(text)]


def blocks(body):
    out, block = [], []
    for line in body.splitlines() + [""]:
        if line.startswith("    ") and line.strip():
            block.append(line[4:])
        elif block:
            out.append("\n".join(block))
            block = []
    return out


def main():
    readme, binary_dir = sys.argv[1], sys.argv[2]
    text = open(readme, encoding="utf-8").read()
    setup, first = blocks(section(text, SECTION))
    clients = section(text, CLIENTS)
    for setting in ("BrokenUIDLPOP3Retriever", "sslproto ''", "initial_response_ok=False"):
        assert setting in clients, "README no longer names " + setting
    smtp, pop3 = free_ports(2)
    ports = {"2525": str(smtp), "1100": str(pop3)}
    assert all(p in first for p in ports), "README no longer uses ports 2525 and 1100"
    setup, first = (re.sub(r"\b(2525|1100)\b", lambda m: ports[m.group(1)], b) for b in (setup, first))
    assert first.splitlines()[-1].strip().endswith("TavrinForceShutdown")

    with tempfile.TemporaryDirectory(prefix="tavrin-readme-") as home:
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_RUNTIME_DIR=os.path.join(home, "run"))
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("DISPLAY", None)
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        # The program starts a second late, as on a busy machine: a block that
        # does not wait for it loses its message.
        os.makedirs(os.path.join(home, "build", "admin"))
        os.symlink(os.path.join(binary_dir, "tools"), os.path.join(home, "build", "tools"))
        with open(os.path.join(home, "build", "admin", "tavrin"), "w") as f:
            f.write('#!/bin/sh\nsleep 1\nexec "%s" "$@"\n' % os.path.join(binary_dir, "admin", "tavrin"))
        os.chmod(os.path.join(home, "build", "admin", "tavrin"), 0o755)
        os.symlink(os.path.join(os.path.dirname(os.path.abspath(readme)), "scripts"), os.path.join(home, "scripts"))
        send = os.path.join(binary_dir, "tools", "tavrin-send")

        def sh(script, *flags, timeout=120):
            return subprocess.run(["bash", *flags, "-c", script], cwd=home, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=timeout)

        def running():
            r = subprocess.run([send, "-t", "2000", "TavrinSendStatus"], env=env, capture_output=True, text=True)
            found = re.search(r"wParam=(\d+) ", r.stdout)
            return int(found.group(1)) if found else None

        try:
            r = sh(setup, "-euo", "pipefail")
            assert r.returncode == 0, r.stdout
            # The first-message block as one, as pasted into a shell.
            r = sh(first)
            print(r.stdout)
            mbox = open(os.path.join(home, "alice.mbox"), encoding="utf-8", errors="replace").read()
            assert "Subject: First message" in mbox and "Hello, Alice." in mbox, r.stdout
            assert wait_until(lambda: running() is None, 60), "the server did not stop on TavrinForceShutdown"

            r = sh("bash scripts/start.sh", timeout=120)
            assert r.returncode == 0, r.stdout
            assert "SMTP on port %d, POP3 on port %d" % (smtp, pop3) in r.stdout, r.stdout
            pid = running()
            again = sh("bash scripts/start.sh", timeout=120)
            assert again.returncode == 1, again.stdout
            assert "another copy is running (pid %d)" % pid in again.stdout, again.stdout
            assert running() == pid, "the second start stopped the first copy"

            # The settings the README gives each client work as it says; that
            # the server refuses UIDL, STLS and an initial response the
            # session tests show.
            with smtplib.SMTP("127.0.0.1", smtp, timeout=30) as s:
                s.login("alice", "secret", initial_response_ok=False)
                s.sendmail("alice@localhost", ["alice@localhost"], "Subject: for the clients\r\n\r\nfetched\r\n")

            def fetches(rc, config, command):
                """Whether the client, set so, fetches the message (into `out`)."""
                out = os.path.join(home, "out-" + os.path.basename(rc))
                with open(os.path.join(home, rc), "w") as f:
                    f.write(config.replace("OUT", out).replace("PORT", str(pop3)))
                os.chmod(os.path.join(home, rc), 0o600)
                r = sh(command)
                return os.path.exists(out) and "for the clients" in open(out, errors="replace").read(), r.stdout

            os.mkdir(os.path.join(home, "getmail"))
            got = fetches("fetchmailrc", 'poll 127.0.0.1 service PORT protocol pop3 user "alice" password '
                          '"secret" sslproto \'\' keep mda "cat >>OUT"\n', "fetchmail --nosyslog -f fetchmailrc")
            assert got[0], got[1]
            got = fetches("getmail/getmailrc", "[retriever]\ntype = BrokenUIDLPOP3Retriever\nserver = 127.0.0.1\n"
                          "port = PORT\nusername = alice\npassword = secret\n[destination]\ntype = MDA_external\n"
                          "path = /bin/sh\narguments = (\"-c\", \"cat >>OUT\")\nallow_root_commands = true\n"
                          "[options]\nread_all = true\ndelete = false\n", "getmail --getmaildir getmail --rcfile getmailrc")
            assert got[0], got[1]

            subprocess.run([send, "-t", "5000", "TavrinForceShutdown"], env=env, timeout=30)
            assert wait_until(lambda: running() is None, 60), "the server did not stop on TavrinForceShutdown"
        finally:
            # Whatever still runs in this home (the program, or its start
            # still in its delay) goes.
            mark = b"\0HOME=" + home.encode() + b"\0"
            for entry in os.listdir("/proc"):
                try:
                    if entry.isdigit() and mark in b"\0" + open("/proc/%s/environ" % entry, "rb").read():
                        os.kill(int(entry), signal.SIGKILL)
                except OSError:
                    pass
    print("README commands passed")


if __name__ == "__main__":
    main()
