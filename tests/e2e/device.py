"""A simulated device for the end-to-end tests and the benchmark: runs a built
daemon through tools/devsim in a temporary root and parses the lines that it
and the stand-ins print. The lines go into a file that is read only while a
test or the benchmark looks at them, so no reader wakes at every line to
compete for the CPUs with the programs under test."""
import collections
import os
import platform
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("SENSORS_BUILD_DIR", os.path.join(REPO, "build"))
WATCHING = "trcap_capture:  before poll - for modify event"
SENSORS = "/data/vendor/sensors"
COMMAND_FILE = SENSORS + "/file1"
FLUSH_PIPE = SENSORS + "/sns_diag_flush"
DAEMON = "/vendor/bin/sensordaemon"
# How often the log is looked at while waiting.
POLL = 0.02
LINE = re.compile(r"(\d+\.\d{6}) \d+ (\d+) ([EIDV]) ([^ :]+): (.*)", re.S)
SOURCE_HEAD = re.compile(r"(\w+):\d+, (.*)", re.S)

# What one odlctl run gave.
Ran = collections.namedtuple("Ran", "status out err")


def proc_stat(path):
    """The fields of a /proc stat file that tests and benchmarks read, by their proc(5) names."""
    with open(path) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return {"state": fields[0], "session": int(fields[3])}


def proc_figure(path, name):
    """The number after `name:` in a /proc file of named figures (status, smaps_rollup)."""
    with open(path) as figures:
        return next(int(line.split()[1]) for line in figures if line.startswith(name + ":"))


def until(condition, what, timeout=30):
    """Waits until `condition()` holds; fails naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited {timeout} s for {what}"
        time.sleep(POLL)


class Road(unittest.TestCase):
    """What every road's class shares."""

    maxDiff = None  # a failing road shows its whole diff

    def assert_ran(self, ran, status, out="", err=""):
        """One odlctl run: its outputs, then its exit status."""
        self.assertEqual(ran.out, out)
        self.assertEqual(ran.err, err)
        self.assertEqual(ran.status, status)


def odlctl_command(*args):
    """The command line of the build's odlctl run from the host (under qemu-user for a cross
    build)."""
    return [*os.environ.get("SENSORS_EMULATOR", "").split(), os.path.join(BUILD, "odlctl"), *args]


def odlctl(*args, wrapper=()):
    """Runs odlctl inside `wrapper`, a command prefix (setpriv's, for one)."""
    command = [*wrapper, *odlctl_command(*args)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=60)
    return Ran(run.returncode, run.stdout, run.stderr)


class Line:
    """One line of the log; `message` is the daemon's text without its source line."""

    def __init__(self, raw):
        self.raw = raw
        match = LINE.fullmatch(raw)
        self.valid = match is not None
        fields = match.groups() if self.valid else ("0", "0", "", "", raw)
        stamp, tid, self.letter, self.tag, self.text = fields
        self.stamp = float(stamp)
        self.tid = int(tid)
        head = SOURCE_HEAD.fullmatch(self.text)
        from_daemon = self.tag == "sensors.lumo" and head is not None
        self.message = f"{head[1]}: {head[2]}" if from_daemon else self.text

    def __repr__(self):
        return self.raw


class Device:
    def __init__(
        self,
        props=(),
        remoteprocs=(),
        options=(),
        files=None,
        environment=None,
        build=BUILD,
    ):
        """`files`: {device path: bytes, or None for a FIFO of mode 0600} laid out
        before the daemon starts; `environment`: variables added to the daemon's. The daemon runs
        with umask 0."""
        self.root = tempfile.mkdtemp(prefix="sensors-e2e.")
        self.log = tempfile.TemporaryFile(prefix="sensors-e2e-log.")
        self.lines = []
        self.read_up_to = 0
        for device_path, data in (files or {}).items():
            os.makedirs(os.path.dirname(self.path(device_path)), exist_ok=True)
            if data is None:
                os.mkfifo(self.path(device_path), 0o600)
            else:
                self.write(device_path, data)
        devsim = os.path.join(REPO, "tools", "devsim")
        command = ["setarch", platform.machine(), "-R", devsim, "--root", self.root]
        command += ["--build", build, *options]
        command += [f"--prop={prop}" for prop in props]
        command += [f"--remoteproc={name}" for name in remoteprocs]
        if os.environ.get("SENSORS_TRCAP"):
            command.append(f"--trcap={os.environ['SENSORS_TRCAP']}")
        self.process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self.log,
            start_new_session=True,
            preexec_fn=lambda: os.umask(0),
            env={**os.environ, **(environment or {})},
        )

    def path(self, device_path):
        return os.path.join(self.root, device_path.lstrip("/"))

    def write(self, device_path, data, flags=os.O_CREAT | os.O_TRUNC):
        """Writes `data` in one write; a FIFO that nothing reads fails at once (ENXIO)."""
        fd = os.open(self.path(device_path), os.O_WRONLY | os.O_NONBLOCK | flags, 0o666)
        os.write(fd, data)
        os.close(fd)

    def command(self, text):
        """Writes `text` over the start of the command file without truncating it
        first: the daemon never reads it half written."""
        self.write(COMMAND_FILE, text.encode(), flags=0)

    def props(self, *lines):
        """Appends properties to the host property store, read at the stand-ins' next call."""
        with open(self.path("/data/property/host.prop"), "a") as store:
            store.write("".join(f"{line}\n" for line in lines))

    def odlctl(self, *args, wrapper=()):
        return odlctl("--root", self.root, *args, wrapper=wrapper)

    def snapshot(self):
        """The lines so far (self.lines, which only grows); only what was added
        since the last call is read and parsed."""
        added = os.pread(self.log.fileno(), 1 << 24, self.read_up_to)
        complete = added[: added.rfind(b"\n") + 1]
        self.read_up_to += len(complete)
        for raw in complete.split(b"\n")[:-1]:
            self.lines.append(Line(raw.decode("utf-8", "replace")))
        return self.lines

    def wait_for(self, what, start=0, timeout=30.0, accepts=None):
        """The index of the first line from `start` on that is the daemon's
        message `what`; given `accepts`, a callable on Line, of the first that
        it accepts, `what` then saying what that is."""
        accepts = accepts or (lambda line: line.message == what)
        deadline = time.monotonic() + timeout
        index = start
        while True:
            lines = self.snapshot()
            while index < len(lines):
                if accepts(lines[index]):
                    return index
                index += 1
            ended = self.process.poll()
            if ended is not None or time.monotonic() > deadline:
                raise AssertionError(
                    f"waited up to {timeout} s from line {start} for {what!r} "
                    f"(devsim status {ended}); lines so far:\n" + "\n".join(map(repr, lines))
                )
            time.sleep(POLL)

    def thread(self, message, count=0, end=None):
        """'L message' for every line (before index `end`, when given) of the
        thread that logged `message`, in order, once there are `count` of them
        or 30 s have passed."""
        tid = self.lines[self.wait_for(message)].tid
        deadline = time.monotonic() + 30
        while True:
            lines = self.snapshot()[:end]
            found = [f"{line.letter} {line.message}" for line in lines if line.tid == tid]
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(POLL)

    def processes(self, program):
        """Host pids of this device's processes that run `program`, under qemu-user too."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                session = proc_stat(f"/proc/{pid}/stat")["session"]
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    args = cmdline.read().split(b"\0")
            except OSError:  # ended meanwhile
                continue
            if session == self.process.pid and program.encode() in args[:2]:
                found.append(int(pid))
        return found

    def daemon_pid(self):
        pids = self.processes(DAEMON)
        assert pids, f"no process runs {DAEMON}"
        return pids[0]

    def __enter__(self):
        return self

    def __exit__(self, failure, *_):
        """Fails a road whose daemon no longer runs, and any road with a sanitizer
        report, shown after the failure that came before it, if any."""
        runs = self.process.poll() is None and self.processes(DAEMON) != []
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        lines = [line.raw for line in self.snapshot()]
        self.log.close()
        reports = [raw for raw in lines if "Sanitizer" in raw or "runtime error:" in raw]
        if reports:
            raise AssertionError("sanitizer report:\n" + "\n".join(reports))
        if failure is None and not runs:
            status = self.process.returncode
            raise AssertionError(
                f"the daemon no longer runs (devsim status {status}); lines:\n" + "\n".join(lines)
            )
