#!/usr/bin/env python3
"""The program while the disk holds a flush still, and a stop meanwhile.

The fsync gate shim (LD_PRELOAD) holds every fsync of a file whose path
contains a given text for as long as a gate file exists. Scenarios:

archive  a list post whose archive entry cannot be flushed is still answered
         "250", and other clients are served; the entry follows.
notice   the agent's failure notice to a mailbox that cannot be flushed: the
         queue file stays until the notice is on disk, clients are served,
         and a stop waits for the notice and the queue file's removal.
stop     a 1 MB message to two users, a NOOP pipelined behind its ".", waits
         in its flush when the program is stopped (SIGTERM, then
         TavrinForceShutdown): the listener refuses and an idle session is
         closed, but the client gets its 250, not an answer to the NOOP, the
         program exits 0, and each user has the message once.
relay    a stop while the agent waits for the next hop's reply to "." (an
         aiosmtpd sink holds it): the reply is taken and the queue file goes,
         so a restart sends nothing twice.
bound    stops that outlast their bound, the disk holding a flush for good:
         the program ends within the bound plus a few seconds; a message
         not answered is stored nowhere and the next start removes its
         temporary files; a failure notice for an unreadable recipient is
         stored or still owed in the queue file, and is stored once later.

Every wait is bounded.

usage: held_flush_test.py BINARY_DIR FSYNC_GATE_SHIM archive|notice|stop|relay|bound
"""
import asyncio
import threading
import time
import glob
import os
import select
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile

from support.program import make_users, program_env, read, start_program, wait_until, watched

BOUND = 30  # seconds: far beyond what any step takes, short of a hang


def logged_in(port):
    s = smtplib.SMTP("127.0.0.1", port, timeout=BOUND)
    s.login("alice", "secret", initial_response_ok=False)
    return s


def served(port):
    """A new client gets its greeting and a reply to NOOP (whatever it is)."""
    s = smtplib.SMTP("127.0.0.1", port, timeout=BOUND)
    try:
        return s.noop()[0] > 0
    finally:
        s.close()


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


def texts(folder):
    out = []
    for path in glob.glob(os.path.join(folder, "*.txt")):
        with open(path, "rb") as f:
            out.append(f.read())
    return out


class Run:
    """One program run in a private home: flushes of paths holding `match`
    are held while the gate file exists."""

    def __init__(self, home):
        self.home, self.data = home, os.path.join(home, "data", "Quentar", "Tavrin")
        self.log, self.gate = os.path.join(home, "tavrin.log"), os.path.join(home, "gate")
        self.proc = None

    def start(self, match, ini_extra=""):
        self.env = program_env(self.home, TAVRIN_FSYNC_GATE=self.gate, TAVRIN_FSYNC_MATCH=match)
        self.proc, self.smtp, _ = start_program(binary_dir, self.env, self.data, self.log, ini_extra, preload=shim,
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def archive(r):
    users = os.path.join(r.data, "UserMail")
    make_users(r.data, ("alice", "bob", "carol"))
    entry_file = os.path.join(r.home, "archive.txt")
    with open(os.path.join(users, "club.ini"), "wb") as f:
        f.write(("[Members]\r\n0=ACTIVE;NOMANAGER;bob@localhost\r\n1=ACTIVE;NOMANAGER;carol@localhost\r\n"
                 "[Digest]\r\nFilename=%s\r\n" % entry_file).encode())
    r.start("archive.txt")
    open(r.gate, "w").close()
    with logged_in(r.smtp) as s:
        s.sendmail("alice@localhost", ["club@localhost"],
                   b"From: alice@localhost\r\nSubject: to the club\r\n\r\nclub body\r\n")
    assert wait_until(lambda: os.path.exists(r.gate + ".held"), BOUND), "the archive entry was never flushed"
    assert served(r.smtp)
    assert any(b"club body" in t for t in texts(os.path.join(users, "bob")))
    os.remove(r.gate)
    assert wait_until(lambda: "club body" in read(entry_file), BOUND)
    entry = open(entry_file, "rb").read()
    assert entry.endswith(b"club body\r\n(------------------)\r\n"), entry[-200:]
    assert entry.count(b"(------------------)") == 1, entry


def notice(r):
    make_users(r.data, ("alice",))
    queue = os.path.join(r.data, "MQueue")
    os.makedirs(queue)
    with open(os.path.join(queue, "7.txt"), "wb") as f:  # its retries used up
        f.write(b"[Reverse Path]\r\nFrom=<alice@localhost>\r\n\r\n[Forward Path]\r\nTo=<far@[127.0.0.1]>\r\n\r\n"
                b"[Retry]\r\nPerformed=6\r\nRemaining=-1\r\n\r\n[Message]\r\nSubject: lost\r\n\r\nlost body\r\n")
    open(r.gate, "w").close()
    r.start("/alice/", "[Smtp Agent]\r\nPolling Interval (in seconds)=1\r\n")
    assert wait_until(lambda: os.path.exists(r.gate + ".held"), BOUND), "the notice was never flushed"
    assert served(r.smtp)
    assert os.path.exists(os.path.join(queue, "7.txt")), "queue file gone before its notice was stored"
    # A stop meanwhile waits for the notice and the queue file's removal:
    # left half-way, the next run would send the notice again.
    r.proc.terminate()
    assert wait_until(lambda: refuses(r.smtp), BOUND), "the stop did not close the listener"
    os.remove(r.gate)
    assert r.proc.wait(BOUND) == 0
    assert not os.path.exists(os.path.join(queue, "7.txt")), "the stop left the queue file behind its notice"
    notices = [t for t in texts(os.path.join(r.data, "UserMail", "alice")) if b"Undeliverable Mail" in t]
    assert len(notices) == 1, notices
    assert notices[0].endswith(b"\r\n\r\nSubject: lost\r\n\r\nlost body\r\n"), notices[0]


def stop(r, how):
    make_users(r.data, ("alice", "bob"))
    r.start("")
    idle = logged_in(r.smtp)
    s = logged_in(r.smtp)
    s.mail("alice@localhost")
    s.rcpt("alice@localhost")
    s.rcpt("bob@localhost")
    s.putcmd("data")
    assert s.getreply()[0] == 354
    open(r.gate, "w").close()
    # 1 MB: a big message is written and flushed apart from the others.
    s.send("Subject: held at the stop\r\n\r\n" + ("x" * 1022 + "\r\n") * 1024 + ".\r\nNOOP\r\n")
    assert wait_until(lambda: os.path.exists(r.gate + ".held"), BOUND), "no flush under way"

    if how == "SIGTERM":
        r.proc.send_signal(signal.SIGTERM)
    else:
        subprocess.run([os.path.join(binary_dir, "tools", "tavrin-send"), "-t", "5000", how], env=r.env,
                       timeout=BOUND)
    assert wait_until(lambda: refuses(r.smtp), BOUND), "still listening in the stop"
    assert closed_by_server(idle.sock, BOUND), "an idle session outlived the stop"
    assert r.proc.poll() is None, "ended with a commit under way (%s)" % r.proc.returncode

    os.remove(r.gate)
    assert s.getreply() == (250, b"Mail Queued for Delivery")
    assert s.file.read() == b"", "the NOOP after the message was taken up"
    assert r.proc.wait(timeout=60) == 0, r.proc.returncode
    for user in ("alice", "bob"):
        folder = os.path.join(r.data, "UserMail", user)
        stored = [n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)) and not n.endswith(".ini")]
        assert len(stored) == 1, (user, stored)


STOP_BOUND = 30  # seconds the program gives a stop
ENDS_WITHIN = STOP_BOUND + 6


def loopback(net):
    return "127.%d.%d.%d" % (net, os.getpid() // 254 % 256, os.getpid() % 254 + 1)


def stop_timed(r):
    """SIGTERM; the seconds until the program ended (exit code 0)."""
    start = time.monotonic()
    r.proc.send_signal(signal.SIGTERM)
    assert r.proc.wait(ENDS_WITHIN + 30) == 0, r.proc.returncode
    return time.monotonic() - start


def relay(r):
    try:
        from aiosmtpd.controller import Controller
    except ImportError:  # a python3 of its own ahead of the system's on PATH
        sys.path.append("/usr/lib/python3/dist-packages")
        from aiosmtpd.controller import Controller

    class Sink:
        def __init__(self):
            self.subjects, self.entered, self.release = [], threading.Event(), threading.Event()

        async def handle_DATA(self, server, session, envelope):
            # Stored once the "." is in, as a next hop that answers after it
            # stores; the reply waits until the test has begun the stop.
            self.subjects.append([l for l in envelope.content.split(b"\r\n") if l.startswith(b"Subject:")])
            self.entered.set()
            await asyncio.get_running_loop().run_in_executor(None, self.release.wait, BOUND)
            return "250 OK"

    sink, addr = Sink(), loopback(74)
    controller = Controller(sink, hostname=addr, port=25)
    controller.start()
    queue, agent = os.path.join(r.data, "MQueue"), "[Smtp Agent]\r\nFire Queue Immediately=1\r\nProcess Queue on Start=1\r\n"

    def send(text):
        with logged_in(r.smtp) as s:
            s.sendmail("alice@localhost", ["far@[%s]" % addr], text)
    try:
        make_users(r.data, ("alice",))
        r.start("", agent)
        send(b"Subject: once\r\n\r\n" + (b"y" * 998 + b"\r\n") * 2000)
        assert sink.entered.wait(BOUND), "the agent never sent the text"
        r.proc.send_signal(signal.SIGTERM)
        assert wait_until(lambda: refuses(r.smtp), BOUND), "the stop did not begin"
        sink.release.set()
        assert r.proc.wait(BOUND) == 0, r.proc.returncode
        assert glob.glob(os.path.join(queue, "*.txt")) == [], "the queue file outlived the reply to its text"
        # A restart, and a second message through the queue: once that one
        # is out and the queue is empty, any copy of the first would be too.
        r.start("", agent)
        send(b"Subject: marker\r\n\r\nm\r\n")
        assert wait_until(lambda: len(sink.subjects) >= 2 and not glob.glob(os.path.join(queue, "*.txt")), BOUND)
        stop_timed(r)
        assert sorted(sink.subjects) == [[b"Subject: marker"], [b"Subject: once"]], sink.subjects
    finally:
        sink.release.set()
        controller.stop()


def temp_files(data):
    return [p for p in glob.glob(os.path.join(data, "**", ".tmp:", "*"), recursive=True) if os.path.isfile(p)]


def bound(r):
    make_users(r.data, ("alice",))
    alice = os.path.join(r.data, "UserMail", "alice")
    # A message whose flush the disk holds beyond the stop's bound.
    r.start("/alice/")
    s = logged_in(r.smtp)
    s.mail("alice@localhost")
    s.rcpt("alice@localhost")
    s.putcmd("data")
    assert s.getreply()[0] == 354
    open(r.gate, "w").close()
    s.send("Subject: never answered\r\n\r\nbody\r\n.\r\n")
    assert wait_until(lambda: os.path.exists(r.gate + ".held"), BOUND), "no flush under way"
    took = stop_timed(r)
    assert took < ENDS_WITHIN, "the stop took %.1f s" % took
    assert s.file.readline()[:3] != b"250"
    s.close()
    os.remove(r.gate)
    os.remove(r.gate + ".held")
    assert texts(alice) == [], "an unanswered message was stored"
    left = set(temp_files(r.data))

    # A failure notice for an unreadable recipient whose flush is held: the
    # agent must not forget the recipient before the notice is stored.
    queue = os.path.join(r.data, "MQueue")
    os.makedirs(queue, exist_ok=True)
    queued = os.path.join(queue, "8.txt")
    with open(queued, "wb") as f:
        f.write(b"[Reverse Path]\r\nFrom=<alice@localhost>\r\n\r\n[Forward Path]\r\nTo=<user>\r\n"
                b"To=<far@[%s]>\r\n\r\n[Retry]\r\nPerformed=0\r\nRemaining=3\r\n\r\n[Message]\r\n"
                b"Subject: owed\r\n\r\nowed body\r\n" % loopback(75).encode())
    open(r.gate, "w").close()
    r.start("/alice/", "[Smtp Agent]\r\nPolling Interval (in seconds)=1\r\n")
    assert left and wait_until(lambda: not left & set(temp_files(r.data)), BOUND), "earlier temporary files stay"
    assert wait_until(lambda: os.path.exists(r.gate + ".held"), BOUND), "the notice was never flushed"
    took = stop_timed(r)
    assert took < ENDS_WITHIN, "the stop took %.1f s" % took
    notices = lambda: [t for t in texts(alice) if b"Undeliverable Mail" in t]
    assert notices() or b"To=<user>" in open(queued, "rb").read(), "the notice is neither stored nor owed"
    os.remove(r.gate)
    r.start("", "[Smtp Agent]\r\nPolling Interval (in seconds)=1\r\n")
    assert wait_until(lambda: notices() and b"To=<user>" not in open(queued, "rb").read(), BOUND), read(r.log)[-3000:]
    stop_timed(r)
    assert len(notices()) == 1 and b"\r\n<user>\r\n" in notices()[0], notices()


def run(scenario, *args):
    with tempfile.TemporaryDirectory(prefix="tavrin-held-") as home:
        r = Run(home)
        try:
            with watched(r.log, lambda: r.proc):
                scenario(r, *args)
        finally:
            if os.path.exists(r.gate):
                os.remove(r.gate)


if __name__ == "__main__":
    binary_dir, shim, which = sys.argv[1], sys.argv[2], sys.argv[3]
    if which == "stop":
        for how in ("SIGTERM", "TavrinForceShutdown"):
            run(stop, how)
    else:
        run({"archive": archive, "notice": notice, "relay": relay, "bound": bound}[which])
