"""What the tests that run the real program share: bounded waits, loopback
ports, users made by hand in a private home, and the program's environment
(headless, private data and runtime folders, a preloaded shim allowed)."""
import contextlib
import os
import random
import socket
import subprocess
import sys
import time


def wait_until(pred, seconds, step=0.02):
    deadline = time.monotonic() + seconds
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def free_ports(count):
    """Ports below the kernel's ephemeral range, free now. A port that bind()
    hands out for port 0 lies inside that range, where any test's outgoing
    connection or its own port-0 pick can take it before the server binds it;
    below the range only a deliberate bind can."""
    try:
        low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    rng = random.Random(os.getpid() ^ time.monotonic_ns())
    ports = []
    for _ in range(1000):
        if len(ports) == count:
            break
        port = rng.randrange(10000, low)
        if port in ports:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        ports.append(port)
    assert len(ports) == count, "no free port below %d" % low
    return ports


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return True
    except OSError:
        return False


def make_users(data, users, extra=""):
    """Each user's folder with its BAK folder and information file (password "secret")."""
    for user in users:
        os.makedirs(os.path.join(data, "UserMail", user, "BAK"))
        with open(os.path.join(data, "UserMail", user, user + ".ini"), "w") as f:
            f.write("[User Information]\r\nPassword=secret\r\n" + extra)


def program_env(home, **extra):
    """The environment of a headless program whose data and runtime folders are in home."""
    run = os.path.join(home, "run")
    os.makedirs(run, 0o700, exist_ok=True)
    # A shim preloaded ahead of the sanitizers' runtime is intended here.
    return dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=run,
                QT_QPA_PLATFORM="offscreen",
                ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0", **extra)


def read(path):
    return open(path, errors="replace").read() if os.path.exists(path) else ""


def start_program(binary_dir, env, data, log, ini_extra="", preload=None, **popen):
    """Starts the program with its log in `log`, listening on 127.0.0.1 on two
    ports below the kernel's ephemeral range, which no port-0 pick or outgoing
    connection can take meanwhile; on a port some other process holds, it is
    started again on others. Returns (process, SMTP port, POP3 port); the test
    ends when it never listens. `preload` goes to the program only, not to
    the control tool that asks it whether it runs."""
    sender = os.path.join(binary_dir, "tools", "tavrin-send")

    def running(pid):
        r = subprocess.run([sender, "-t", "5000", "TavrinSendStatus"], env=env, capture_output=True, text=True,
                           timeout=30)
        return "wParam=%d lParam=7 " % pid in r.stdout

    for _ in range(5):
        smtp, pop3 = free_ports(2)
        if os.path.exists(log):
            os.remove(log)
        with open(os.path.join(data, "Tavrin.ini"), "w") as f:
            f.write("[General]\r\nServer Name=localhost\r\nLog Level=8\r\nLog File=%s\r\n%s"
                    "[Smtp Server]\r\nBind Address=127.0.0.1\r\nListen Port=%d\r\n"
                    "[Pop 3 Server]\r\nBind Address=127.0.0.1\r\nListen Port=%d\r\n" % (log, ini_extra, smtp, pop3))
        proc = subprocess.Popen([os.path.join(binary_dir, "admin", "tavrin")],
                                env=dict(env, LD_PRELOAD=preload) if preload else env, **popen)
        refused = lambda: "Can't Bind" in read(log)
        wait_until(lambda: proc.poll() is not None or refused() or running(proc.pid), 60)
        if proc.poll() is None and not refused() and running(proc.pid):
            return proc, smtp, pop3
        proc.kill()
        proc.wait()
    sys.exit("the program did not listen:\n" + read(log))


def stop_program(binary_dir, env, proc):
    """TavrinForceShutdown, then the program must end with code 0."""
    subprocess.run([os.path.join(binary_dir, "tools", "tavrin-send"), "-t", "5000", "TavrinForceShutdown"], env=env,
                   timeout=30)
    assert wait_until(lambda: proc.poll() is not None, 60), "the program did not stop"
    assert proc.returncode == 0, proc.returncode


@contextlib.contextmanager
def watched(log, process):
    """Shows the log's last lines when the body fails, and kills the program
    (process() gives it, or None) if it still runs at the end."""
    try:
        yield
    except BaseException:
        sys.stderr.write("".join(read(log).splitlines(True)[-40:]))
        raise
    finally:
        proc = process()
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
