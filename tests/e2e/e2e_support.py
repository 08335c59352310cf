"""What the acceptance run's parts share: outcomes, waiting with a deadline, and the processes
it starts, each with its output in a log file and each ended when the run ends."""

import os
import select
import signal
import subprocess
import time


class Skip(Exception):
    """The machine cannot run this: the reason is printed and the run counts as skipped."""


class Failure(Exception):
    pass


def wait_for(condition, timeout, what, interval=0.05):
    """Polls `condition` until it returns something true, which is returned; fails after
    `timeout` seconds, naming what was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def process_state(pid):
    """The state letter of a process or of a thread ("PID/task/TID"): "Z" for a zombie, None
    once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def live_pids():
    """Every process of this PID namespace that is not a zombie."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and process_state(int(entry)) not in (None, "Z"):
            pids.append(int(entry))
    return pids


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()
    except OSError:
        return "?"


class Processes:
    """Starts programs in process groups of their own, their output in `logs`/NAME.log, and
    ends them all, newest first."""

    def __init__(self, logs):
        self.logs = logs
        self.started = []  # (name, Popen)

    def spawn(self, name, argv, env, **kwargs):
        log = open(os.path.join(self.logs, f"{name}.log"), "ab")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        with log:
            process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, process_group=0,
                                       **kwargs)
        self.started.append((name, process))
        return process

    def spawn_printing(self, name, argv, env, timeout=10):
        """Starts a program that writes one line to the descriptor it is given in place of
        "{fd}" (Xvfb's -displayfd, dbus-daemon's --print-address) and returns that line."""
        read_end, write_end = os.pipe()
        try:
            argv = [a.replace("{fd}", str(write_end)) for a in argv]
            self.spawn(name, argv, env, pass_fds=(write_end,))
            os.close(write_end)
            write_end = -1
            data = b""
            deadline = time.monotonic() + timeout
            while b"\n" not in data:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise Failure(f"{name} did not start within {timeout:g} s")
                chunk = os.read(read_end, 4096)
                if not chunk:
                    raise Failure(f"{name} ended at start; see {name}.log")
                data += chunk
            return data.split(b"\n")[0].decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    def end_all(self):
        for _, process in reversed(self.started):
            end(process)
        self.started.clear()


def end(process, grace=3.0):
    """SIGTERM to the process's group, SIGKILL to what is left after `grace` seconds."""
    def signal_group(sig):
        for send in (lambda: os.killpg(process.pid, sig), lambda: os.kill(process.pid, sig)):
            try:
                send()
            except (ProcessLookupError, PermissionError):
                pass
    if process.poll() is None:
        signal_group(signal.SIGTERM)
        try:
            process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            pass
    signal_group(signal.SIGKILL)  # whatever the leader left in its group
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
