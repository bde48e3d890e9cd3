#!/usr/bin/env python3
"""Runs the README's hand-made first user, first message and POP3 fetch.

The commands are read from the README's section "A first user and a first
message, without a display" (its indented code lines, in order), so the test
and the README cannot drift. They run in a private HOME, XDG_DATA_HOME and
XDG_RUNTIME_DIR, from a folder whose "build" points at this build, with the
README's two ports replaced by free ones. Every wait is bounded; the server
is stopped as the README says and killed if it does not go.

usage: readme_test.py README.md BINARY_DIR
"""
import os
import re
import signal
import subprocess
import sys
import tempfile

from support.program import free_ports, listening, wait_until

SECTION = "## A first user and a first message, without a display"


def readme_commands(path):
    text = open(path, encoding="utf-8").read()
    start = text.index(SECTION)
    end = text.find("\n## ", start + len(SECTION))
    body = text[start:end if end >= 0 else len(text)]
    return [line[4:] for line in body.splitlines() if line.startswith("    ") and line.strip()]


def main():
    readme, binary_dir = sys.argv[1], sys.argv[2]
    commands = readme_commands(readme)
    ports = dict(zip(("2525", "1100"), free_ports(2)))
    for old in ports:
        assert any(old in c for c in commands), "README no longer uses port " + old
    commands = [re.sub(r"\b(2525|1100)\b", lambda m: str(ports[m.group(1)]), c) for c in commands]
    start = next(i for i, c in enumerate(commands) if c.rstrip().endswith("&"))
    before, server, after = commands[:start], commands[start], commands[start + 1:]
    stop = after.pop()
    assert "TavrinForceShutdown" in stop

    with tempfile.TemporaryDirectory(prefix="tavrin-readme-") as home:
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_RUNTIME_DIR=os.path.join(home, "run"))
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        os.symlink(binary_dir, os.path.join(home, "build"))

        def run(script, timeout=60):
            r = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=home, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
            if r.returncode != 0:
                sys.exit("failed (%d): %s\n%s" % (r.returncode, script, r.stdout))
            return r.stdout

        run("\n".join(before))
        # The README's start line, run so that its process can be waited for.
        # Its output goes to a file rather than /dev/null, to be shown on failure.
        out = os.path.join(home, "tavrin.out")
        proc = subprocess.Popen(["bash", "-c", "exec " + server.rstrip().rstrip("&").replace("/dev/null", out)],
                                cwd=home, env=env)
        try:
            if not wait_until(lambda: all(listening(p) for p in ports.values()), 60):
                sys.exit("the server did not listen on %s (running: %s)\n%s" % (
                    sorted(ports.values()), proc.poll() is None, open(out, errors="replace").read()))
            for command in after:
                print(run(command))
            mbox = open(os.path.join(home, "alice.mbox"), encoding="utf-8", errors="replace").read()
            assert "Subject: First message" in mbox and "Hello, Alice." in mbox, mbox
            run(stop)
            if not wait_until(lambda: proc.poll() is not None, 60):
                sys.exit("the server did not stop on TavrinForceShutdown")
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
                proc.wait()
    print("README commands passed")


if __name__ == "__main__":
    main()
