#!/usr/bin/env python3
"""Long lines through the real program: a 3 MB message whose lines end in a
bare LF (one line by SMTP's rule, as curl --upload-file or a piped Unix file
sends it) and one with a line of 2 MiB are taken with 250, and POP3 hands
each back whole with CR LF line ends, as many octets as LIST says. (An
endless command line is refused in smtp_badinput_test.)

usage: long_lines_test.py BINARY_DIR
"""
import os
import poplib
import socket
import sys
import tempfile

from support.program import make_users, program_env, start_program, stop_program, watched


def send_raw(port, text):
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        f = s.makefile("rb")
        for line in [b"EHLO long.test", b"AUTH LOGIN", b"YWxpY2U=", b"c2VjcmV0", b"MAIL FROM:<alice@localhost>",
                     b"RCPT TO:<alice@localhost>", b"DATA", text + b"\r\n."]:
            while f.readline()[3:4] == b"-":
                pass  # the reply before this line
            s.sendall(line + b"\r\n")
        return f.readline()


def main(binary_dir, home):
    data = os.path.join(home, "data", "Quentar", "Tavrin")
    make_users(data, ["alice"])
    env = program_env(home)
    log = os.path.join(home, "tavrin.log")
    proc, smtp, pop3 = start_program(binary_dir, env, data, log)
    with watched(log, lambda: proc):
        bare = b"".join(b"line %07d of a Unix file\n" % i for i in range(120000))
        long_line = b"w" * (2 << 20)
        for text in [b"Subject: bare\n\n" + bare, b"Subject: one line\r\n\r\n" + long_line]:
            assert send_raw(smtp, text).startswith(b"250"), text[:20]
        poplib._MAXLINE = 4 << 20
        p = poplib.POP3("127.0.0.1", pop3, timeout=60)
        p.user("alice")
        p.pass_("secret")
        listed = [int(line.split()[1]) for line in p.list()[1]]
        got = [p.retr(i + 1) for i in range(2)]
        p.quit()
        for (_, lines, octets), size in zip(got, listed):
            assert octets == size == sum(len(line) + 2 for line in lines), (octets, size)
        # After the Return-Path, Received and Subject lines and the empty
        # one; the last LF and the CR LF of its line make an empty line.
        assert got[0][1][4:] == bare.split(b"\n")
        assert got[1][1][4:] == [long_line]
        stop_program(binary_dir, env, proc)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="tavrin-tmp-") as tmp:
        main(sys.argv[1], tmp)
