"""What the tests that run the real program share: bounded waits, loopback
ports, users made by hand in a private home, and the program's environment
(headless, private data and runtime folders, a preloaded shim allowed)."""
import os
import socket
import time


def wait_until(pred, seconds, step=0.02):
    deadline = time.monotonic() + seconds
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
