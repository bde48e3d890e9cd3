#!/usr/bin/python3
"""Graceful stops in the middle of the agent's relays: duplicates and losses
at the next hop.

Each round starts the real program, hands it MESSAGES messages of 2-6 MB for
a foreign recipient (an address literal served by an aiosmtpd sink on port 25
of a loopback address), and stops it with SIGTERM while the agent relays
them: in even rounds once the sink holds a message's reply to "." (it delays
each reply 0.3-1.5 s, and counts a message as
delivered once its "." is in, as a next hop that stores before it answers), in odd rounds a random 0.1-1.2 s after the last
message was answered, while the text is on its way. A last start sends what
is still queued. Every message answered 250 must reach the sink exactly once.

    /usr/bin/python3 bench/agent_stop_duplicates.py BUILD_DIR [ROUNDS] [MESSAGES]

Needs aiosmtpd and the right to listen on port 25. Prints one line per figure.
Not a test: the stops land where the machine's speed puts them."""

import asyncio
import glob
import os
import random
import re
import signal
import smtplib
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))
from support.program import make_users, program_env, start_program, wait_until  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

SINK = "127.76.%d.%d" % (os.getpid() // 254 % 256, os.getpid() % 254 + 1)
AGENT = "[Smtp Agent]\r\nFire Queue Immediately=1\r\nProcess Queue on Start=1\r\nPolling Interval (in seconds)=2\r\n"


class Sink:
    def __init__(self):
        self.lock = threading.Lock()
        self.received = {}
        self.holding = threading.Event()

    async def handle_DATA(self, server, session, envelope):
        # Taken as a real next hop takes it: stored once the "." is in, then
        # answered; a client gone meanwhile does not undo it.
        m = re.search(rb"Subject: (m\d+-\d+)", envelope.content)
        with self.lock:
            key = m.group(1).decode() if m else "?"
            self.received[key] = self.received.get(key, 0) + 1
        self.holding.set()
        await asyncio.sleep(random.uniform(0.3, 1.5))
        return "250 OK"


def message(name, size):
    line = b"z" * 998 + b"\r\n"
    return b"Subject: " + name.encode() + b"\r\n\r\n" + line * (size // len(line))


def main():
    build = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    per_round = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    sink = Sink()
    controller = Controller(sink, hostname=SINK, port=25, data_size_limit=0)
    controller.start()
    answered, stops = [], []
    try:
        with tempfile.TemporaryDirectory(prefix="tavrin-agentstop-") as home:
            data = os.path.join(home, "data", "Quentar", "Tavrin")
            make_users(data, ("alice",))
            env = program_env(home)
            log = os.path.join(home, "tavrin.log")
            queue = os.path.join(data, "MQueue")
            for n in range(rounds):
                proc, smtp, _ = start_program(build, env, data, log, AGENT)
                sink.holding.clear()
                with smtplib.SMTP("127.0.0.1", smtp, timeout=60) as s:
                    s.login("alice", "secret", initial_response_ok=False)
                    for i in range(per_round):
                        name = "m%d-%d" % (n, i)
                        s.sendmail("alice@localhost", ["far@[%s]" % SINK],
                                   message(name, random.randint(2000000, 6000000)))
                        answered.append(name)
                if n % 2 == 0:
                    sink.holding.wait(60)
                else:
                    time.sleep(random.uniform(0.1, 1.2))
                start = time.monotonic()
                proc.send_signal(signal.SIGTERM)
                code = proc.wait(120)
                stops.append(time.monotonic() - start)
                if code != 0:
                    print("round %d: exit code %d" % (n, code))
            # The last start sends what is left.
            proc, smtp, _ = start_program(build, env, data, log, AGENT)
            drained = wait_until(lambda: not glob.glob(os.path.join(queue, "*.txt")) and
                                 sum(sink.received.values()) >= len(answered), 300, 0.2)
            time.sleep(3)  # a copy still on its way would land meanwhile
            proc.send_signal(signal.SIGTERM)
            proc.wait(120)
    finally:
        controller.stop()
    got = dict(sink.received)
    duplicates = sum(c - 1 for c in got.values() if c > 1)
    lost = sum(1 for name in answered if got.get(name, 0) == 0)
    print("rounds %d" % rounds)
    print("messages answered 250: %d" % len(answered))
    print("deliveries at the sink: %d" % sum(got.values()))
    print("duplicates: %d" % duplicates)
    print("lost: %d" % lost)
    print("queue drained: %s" % drained)
    print("stop took s: min %.2f max %.2f" % (min(stops), max(stops)))


if __name__ == "__main__":
    main()
