"""A simulated device for end-to-end tests: runs the built daemon through
tools/devsim in a temporary root and collects its standard error lines."""
import errno
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
FLUSH_PIPE = "/data/vendor/sensors/sns_diag_flush"
LINE = re.compile(r"^(\d+)\.(\d{6}) (\d+) (\d+) ([EIDV]) ([^ :]+): (.*)$")


class Line:
    def __init__(self, raw):
        self.raw = raw
        match = LINE.match(raw)
        self.valid = match is not None
        if match:
            self.stamp = int(match[1]) + int(match[2]) / 1e6
            self.pid, self.tid = int(match[3]), int(match[4])
            self.letter, self.tag, self.text = match[5], match[6], match[7]
        else:
            self.stamp, self.pid, self.tid = 0.0, 0, 0
            self.letter, self.tag, self.text = "", "", raw

    @property
    def message(self):
        """The daemon's text without its "function:line, " head, as
        "function: message"."""
        head = re.match(r"^([^:]+):\d+, (.*)$", self.text, re.S)
        return f"{head[1]}: {head[2]}" if head else self.text

    def __repr__(self):
        return self.raw


class Device:
    def __init__(self, props=(), remoteprocs=(), no_remoteproc=False, no_diag_cfg=False,
                 prop_file=None, files=None):
        """`prop_file`: bytes appended to the property store after `props`.
        `files`: {device path: bytes} written into the device before it
        starts (devsim keeps what it finds there)."""
        self.root = tempfile.mkdtemp(prefix="sensors-e2e.")
        self.lines = []
        self._cond = threading.Condition()
        command = [os.path.join(REPO, "tools", "devsim"), "--root", self.root, "--build", BUILD]
        for prop in props:
            command += ["--prop", prop]
        if prop_file is not None:
            # Outside the bound trees: the daemon does not see it.
            extra = os.path.join(self.root, "extra.prop")
            with open(extra, "wb") as out:
                out.write(prop_file)
            command += ["--prop-file", extra]
        for device_path, data in (files or {}).items():
            os.makedirs(os.path.dirname(self.path(device_path)), exist_ok=True)
            with open(self.path(device_path), "wb") as out:
                out.write(data)
        for name in remoteprocs:
            command += ["--remoteproc", name]
        if no_remoteproc:
            command.append("--no-remoteproc")
        if no_diag_cfg:
            command.append("--no-diag-cfg")
        # Sanitizer runtimes want a fixed address-space layout here.
        command = ["setarch", platform.machine(), "-R"] + command
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def path(self, device_path):
        """The host path of a path on the device ("/data/vendor/sensors/...")."""
        return os.path.join(self.root, device_path.lstrip("/"))

    def _read(self):
        for raw in self.process.stderr:
            line = Line(raw.decode("utf-8", "replace").rstrip("\n"))
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def wait_for(self, predicate, timeout=30.0, start=0):
        """Waits for the first line from index `start` on that satisfies
        `predicate` (a callable on Line, or a text the message must equal);
        returns its index, or raises AssertionError with the lines so far."""
        if isinstance(predicate, str):
            wanted = predicate
            predicate = lambda line: line.message == wanted or line.text == wanted
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for index in range(start, len(self.lines)):
                    if predicate(self.lines[index]):
                        return index
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("line not seen; lines so far:\n" + "\n".join(map(repr, self.lines)))
                self._cond.wait(min(left, 0.5))

    def messages(self, tag=None):
        return [line.message for line in self.snapshot() if tag is None or line.tag == tag]

    def write(self, device_path, data):
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(self.path(device_path), mode) as out:
            out.write(data)

    def command(self, text):
        """Writes `text` over the start of the command file in one write and
        without truncating it first, so the daemon sees one modification and
        never a half-written file. Lines left over behind it are ignored."""
        fd = os.open(self.path("/data/vendor/sensors/file1"), os.O_WRONLY)
        try:
            os.write(fd, text.encode())
        finally:
            os.close(fd)

    def open_flush_writer(self, timeout=60.0):
        """Opens the flush pipe for writing from the host without blocking;
        tried again while the pipe is missing (ENOENT) or nobody holds its
        read end yet (ENXIO)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return os.open(self.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                if error.errno not in (errno.ENOENT, errno.ENXIO) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def request_flush(self, data=b"1", timeout=60.0):
        """Writes into the flush pipe from the host, as any other writer does."""
        fd = self.open_flush_writer(timeout)
        try:
            os.write(fd, data)
        finally:
            os.close(fd)

    def wait_for_drain(self, length, start):
        """Waits for one read of `length` bytes from the flush pipe and its
        drain of both peripherals; returns the index of the second drain."""
        read = self.wait_for(f"wait_handle_flush: sns_diag_flush read len: {length}", start=start)
        drain3 = self.wait_for("diag_peripheral_buffering_drain_immediate(3) = 1", start=read)
        return self.wait_for("diag_peripheral_buffering_drain_immediate(9) = 1", start=drain3)

    def daemon_pid(self, timeout=10.0):
        """The daemon's pid as the host sees it: the sensordaemon process in
        this device's session."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        program = f.read().split(b"\0")[0]
                    with open(f"/proc/{pid}/stat") as f:
                        session = int(f.read().rsplit(")", 1)[1].split()[3])
                except (OSError, IndexError, ValueError):
                    continue
                if program == b"/vendor/bin/sensordaemon" and session == self.process.pid:
                    return int(pid)
            time.sleep(0.05)
        raise AssertionError("no daemon process found")

    def sanitizer_reports(self):
        return [line.raw for line in self.snapshot()
                if not line.valid and ("Sanitizer" in line.raw or "runtime error:" in line.raw)]

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self._reader.join(5)
        self.process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        reports = self.sanitizer_reports()
        if reports and exc[0] is None:
            raise AssertionError("sanitizer report:\n" + "\n".join(reports))


def assert_alive(test, device, pid):
    """The device's sandbox still runs and the daemon sleeps or runs."""
    test.assertIsNone(device.process.poll())
    with open(f"/proc/{pid}/stat") as f:
        state = f.read().rsplit(")", 1)[1].split()[0]
    test.assertIn(state, ("S", "R"), f"daemon state {state}")


def proc_kb(path, field):
    """The kB figure of `field` ("VmRSS", "Pss", ...) in a /proc file such as
    /proc/PID/status or /proc/PID/smaps_rollup."""
    with open(path) as figures:
        for line in figures:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {field} in {path}")
