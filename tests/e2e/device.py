"""A simulated device for the end-to-end tests and the benchmark: runs the built
daemon through tools/devsim in a temporary root and parses the lines that it
and the stand-ins print."""
import contextlib
import os
import platform
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("SENSORS_BUILD_DIR", os.path.join(REPO, "build"))
WATCHING = "trcap_capture:  before poll - for modify event"
SENSORS = "/data/vendor/sensors"
COMMAND_FILE = SENSORS + "/file1"
FLUSH_PIPE = SENSORS + "/sns_diag_flush"


def inherited(pid):
    """Where the descriptors of a process point, the standard streams and the
    capture tool stand-in's own data files left out."""
    targets = []
    for fd in sorted(fd for fd in map(int, os.listdir(f"/proc/{pid}/fd")) if fd > 2):
        with contextlib.suppress(
            FileNotFoundError
        ):  # closed meanwhile: one of the tool's own data files
            targets.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
    return [target for target in targets if not re.search(r"/trcap_\d+_\d+\.bin$", target)]


def odlctl_command(*args):
    """The command line of the build's odlctl run from the host (under qemu-user for a cross build)."""
    return [*os.environ.get("SENSORS_EMULATOR", "").split(), os.path.join(BUILD, "odlctl"), *args]


def odlctl(*args, wrapper=()):
    """Runs odlctl inside `wrapper`, a command prefix (setpriv's, for one): (status, stdout, stderr)."""
    run = subprocess.run(
        [*wrapper, *odlctl_command(*args)], capture_output=True, text=True, timeout=60
    )
    return run.returncode, run.stdout, run.stderr


class Line:
    def __init__(self, raw):
        match = re.fullmatch(r"(\d+\.\d{6}) (\d+) (\d+) ([EIDV]) ([^ :]+): (.*)", raw, re.S)
        self.raw, self.valid = raw, match is not None
        stamp, pid, tid, self.letter, self.tag, self.text = (
            match.groups() if match else (0, 0, 0, "", "", raw)
        )
        self.stamp, self.pid, self.tid = float(stamp), int(pid), int(tid)
        head = (
            re.fullmatch(r"(\w+):\d+, (.*)", self.text, re.S)
            if self.tag == "sensors.lumo"
            else None
        )
        self.message = (
            f"{head[1]}: {head[2]}" if head else self.text
        )  # the daemon's without its source line

    def __repr__(self):
        return self.raw


class Device:
    def __init__(
        self, props=(), remoteprocs=(), options=(), files=None, prop_file=b"", environment=None
    ):
        """`files`: {device path: bytes, or None for a FIFO of mode 0600} laid out
        before the daemon starts; `prop_file`: bytes appended to the property
        store; `environment`: variables added to the daemon's. The daemon runs
        with umask 0."""
        self.root = tempfile.mkdtemp(prefix="sensors-e2e.")
        for device_path, data in {**(files or {}), "/extra.prop": prop_file}.items():
            os.makedirs(os.path.dirname(self.path(device_path)), exist_ok=True)
            os.mkfifo(self.path(device_path), 0o600) if data is None else self.write(
                device_path, data
            )
        command = [
            "setarch",
            platform.machine(),
            "-R",
            os.path.join(REPO, "tools", "devsim"),
            "--root",
            self.root,
            "--build",
            BUILD,
            "--prop-file",
            self.path("/extra.prop"),
            *options,
        ]
        command += [f"--prop={prop}" for prop in props] + [
            f"--remoteproc={name}" for name in remoteprocs
        ]
        command += (
            [f"--trcap={os.environ['SENSORS_TRCAP']}"] if os.environ.get("SENSORS_TRCAP") else []
        )
        self.lines, self._cond = [], threading.Condition()
        self.process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            start_new_session=True,
            preexec_fn=lambda: os.umask(0),
            env={**os.environ, **(environment or {})},
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def path(self, device_path):
        return os.path.join(self.root, device_path.lstrip("/"))

    def write(self, device_path, data):
        with open(self.path(device_path), "wb") as out:
            out.write(data)

    def _read(self):
        for raw in self.process.stderr:
            with self._cond:
                self.lines.append(Line(raw.decode("utf-8", "replace").rstrip("\n")))
                self._cond.notify_all()

    def snapshot(self):
        """The lines so far. self.lines only grows: a line at an index that
        wait_for returned may be read without the lock."""
        with self._cond:
            return list(self.lines)

    def wait_for(self, predicate, start=0, timeout=30.0):
        """The index of the first line from `start` on that `predicate` (a
        callable on Line, or the message it must have) accepts."""
        accepts = predicate if callable(predicate) else lambda line: line.message == predicate
        wanted = predicate.__doc__ if callable(predicate) else repr(predicate)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = next(
                    (i for i in range(start, len(self.lines)) if accepts(self.lines[i])), None
                )
                if found is not None:
                    return found
                if time.monotonic() > deadline or not self._reader.is_alive():
                    raise AssertionError(
                        f"waited {timeout} s from line {start} for {wanted}; lines so far:\n"
                        + "\n".join(map(repr, self.lines))
                    )
                self._cond.wait(0.5)

    def thread(self, message, count=0):
        """'L message' for every line of the thread that logged `message`, in
        order, once there are `count` of them or 30 s have passed."""
        tid, deadline = self.lines[self.wait_for(message)].tid, time.monotonic() + 30
        while True:
            lines = [
                f"{line.letter} {line.message}"
                for line in self.snapshot()
                if line.valid and line.tid == tid
            ]
            if len(lines) >= count or time.monotonic() > deadline:
                return lines
            time.sleep(0.05)

    def command(self, text):
        """Writes `text` over the start of the command file in one write, without
        truncating it first: the daemon never reads it half written."""
        fd = os.open(
            self.path(COMMAND_FILE), os.O_WRONLY | os.O_NONBLOCK
        )  # never blocks, whatever is there
        os.write(fd, text.encode())
        os.close(fd)

    def odlctl(self, *args, wrapper=()):
        return odlctl("--root", self.root, *args, wrapper=wrapper)

    def processes(self, program):
        """Host pids of this device's processes that run `program`, under qemu-user too."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline, open(
                    f"/proc/{pid}/stat"
                ) as stat:
                    args, session = cmdline.read().split(b"\0"), int(
                        stat.read().rsplit(")", 1)[1].split()[3]
                    )
            except (OSError, IndexError, ValueError):
                continue
            found += (
                [int(pid)] if session == self.process.pid and program.encode() in args[:2] else []
            )
        return found

    def footprint(self):
        """The daemon's open descriptors, its thread count and its resident kB."""
        pid = self.daemon_pid()
        with open(f"/proc/{pid}/status") as status:
            resident = int(re.search(r"^VmRSS:\s+(\d+) kB", status.read(), re.M)[1])
        return sorted(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task")), resident

    def daemon_pid(self):
        return self.processes("/vendor/bin/sensordaemon")[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self._reader.join(5)
        self.process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)
        reports = [
            line.raw
            for line in self.lines
            if "Sanitizer" in line.raw or "runtime error:" in line.raw
        ]
        if reports and exc[0] is None:
            raise AssertionError("sanitizer report:\n" + "\n".join(reports))
