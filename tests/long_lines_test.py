#!/usr/bin/env python3
"""Long lines through the real program. A message over a mebibyte whose
lines end in a bare LF (one line by SMTP's rule, as curl --upload-file or a
piped Unix file sends it) and a message with one line of two mebibytes are
taken with 250; POP3 hands each back with CR LF line ends, as many octets as
LIST says. A command line that never ends is still refused and closed.

usage: long_lines_test.py BINARY_DIR
"""
import os
import poplib
import socket
import sys
import tempfile

from support.program import make_users, program_env, read, start_program, stop_program, watched


def reply(f):
    lines = [f.readline()]
    while lines[-1][3:4] == b"-":
        lines.append(f.readline())
    return lines[-1].decode("latin-1").strip()


def send_raw(port, text):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        f = s.makefile("rb")
        reply(f)
        for line in [b"EHLO long.test", b"AUTH LOGIN", b"YWxpY2U=", b"c2VjcmV0", b"MAIL FROM:<alice@localhost>",
                     b"RCPT TO:<alice@localhost>", b"DATA"]:
            s.sendall(line + b"\r\n")
            reply(f)
        s.sendall(text + b"\r\n.\r\n")
        return reply(f)


def run(binary_dir, home):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    make_users(data, ["alice"])
    env = program_env(home)
    log = os.path.join(home, "tavrin.log")
    proc, smtp, pop3 = start_program(binary_dir, env, data, log)
    with watched(log, lambda: proc):
        bare = b"".join(b"line %07d of a Unix file\n" % i for i in range(120000))  # 3 MB
        assert send_raw(smtp, b"Subject: bare\n\n" + bare).startswith("250")
        assert send_raw(smtp, b"Subject: one line\r\n\r\n" + b"w" * (2 << 20)).startswith("250")
        poplib._MAXLINE = 4 << 20
        p = poplib.POP3("127.0.0.1", pop3, timeout=60)
        p.user("alice")
        p.pass_("secret")
        listed = [int(line.split()[1]) for line in p.list()[1]]
        got = [p.retr(i + 1) for i in range(2)]
        p.quit()
        for (_, lines, octets), size in zip(got, listed):
            assert octets == size == sum(len(line) + 2 for line in lines), (octets, size)
        assert got[0][1][4:] == bare.split(b"\n")  # the last LF, then the CR LF of the line
        assert got[1][1][-1] == b"w" * (2 << 20)

        with socket.create_connection(("127.0.0.1", smtp), timeout=60) as s:
            s.recv(4096)
            try:
                s.sendall(b"X" * (10 << 20))
            except OSError:
                pass  # closed while sending: the reply came first
            answer = b""
            while True:
                got = s.recv(65536)
                if not got:
                    break
                answer += got
        assert answer == b"500 Line too long.\r\n", answer
        stop_program(binary_dir, env, proc)


def main():
    with tempfile.TemporaryDirectory(prefix="tavrin-tmp-") as home:
        run(sys.argv[1], home)


if __name__ == "__main__":
    main()
