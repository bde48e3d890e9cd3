#!/usr/bin/env python3
"""Posts to a list whose archive lies on a disk that fills (the full-disk
shim, LD_PRELOAD, lets the archive grow to a few KB). Every post is answered
250 and reaches the members; each archive entry is whole or absent, never cut
part-way nor run on into the next; each one left out is logged.

usage: archive_full_disk_test.py BINARY_DIR FULL_DISK_SHIM
"""
import os
import smtplib
import sys
import tempfile

from support.program import make_users, program_env, read, start_program, stop_program, wait_until, watched

SEPARATOR = b"(------------------)\r\n"
FAILED = "Unable to add message to List Archive "


def body(i):
    # Big and small posts by turns: a big one finds too little room, a small
    # one after it still fits once the cut entry is gone.
    lines = 60 if i % 2 else 4
    return "".join("post %d line %d\r\n" % (i, j) for j in range(lines)) + "end of post %d\r\n" % i


def main(binary_dir, shim):
    with tempfile.TemporaryDirectory(prefix="tavrin-full-") as home:
        data, log = os.path.join(home, "data", "Quentar", "Tavrin"), os.path.join(home, "tavrin.log")
        archive = os.path.join(home, "archive.txt")
        make_users(data, ("alice", "bob"))
        with open(os.path.join(data, "UserMail", "club.ini"), "w") as f:
            f.write("[Members]\r\n0=ACTIVE;NOMANAGER;bob@localhost\r\n[Digest]\r\nFilename=%s\r\n" % archive)
        env = program_env(home, TAVRIN_FULL_MATCH="archive.txt", TAVRIN_FULL_BYTES="4000")
        proc = None
        with watched(log, lambda: proc):
            proc, smtp, _ = start_program(binary_dir, env, data, log, preload=shim)
            posts = 10
            with smtplib.SMTP("127.0.0.1", smtp, timeout=30) as s:
                s.login("alice", "secret", initial_response_ok=False)
                for i in range(posts):
                    s.sendmail("alice@localhost", ["club@localhost"],
                               "From: alice@localhost\r\nSubject: post %d\r\n\r\n%s" % (i, body(i)))
            entries = lambda: open(archive, "rb").read().split(SEPARATOR) if os.path.exists(archive) else [b""]
            assert wait_until(lambda: len(entries()) - 1 + read(log).count(FAILED) == posts, 30), read(log)
            *whole, rest = entries()
            assert rest == b"", rest[-300:]  # the file ends with an entry's separator
            for entry in whole:
                i = int(entry.split(b"Subject: post ", 1)[1].split(b"\r\n", 1)[0])
                assert entry.endswith(b"\r\n\r\n" + body(i).encode()), entry[-300:]
            assert 0 < len(whole) < posts, len(whole)
            bob = os.path.join(data, "UserMail", "bob")
            assert wait_until(lambda: len([n for n in os.listdir(bob) if n.endswith(".txt")]) == posts, 30)
            stop_program(binary_dir, env, proc)
    print("archive entries whole or absent")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
