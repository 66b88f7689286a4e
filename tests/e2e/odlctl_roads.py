"""End-to-end roads of odlctl on simulated devices, one theme each: commands that wait for the
daemon and for each other, timed captures and their guards, pruning a hostile tree, what odlctl
cannot see, and files that mislead it."""
import fcntl
import os
import re
import select
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import COMMAND_FILE, FLUSH_PIPE, SENSORS, WATCHING  # noqa: E402
from device import Device, Ran, Road, odlctl_command, proc_stat, until  # noqa: E402

STOPPED = "stopped: no capture tool of the default variant runs\n"
STARTING = "handle_events: Daig : Diag.cfg present: starting trcap"
# Whom the mode bits stop: the tests' own user, or nobody when they run as root.
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
# A mount namespace of odlctl's own, where "$1" is bound on "$2" (then the command).
BOUND = ["unshare", "-rm", "sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh"]


def started(out):
    """The directory of odlctl's "started: DIR (variant ...)" line."""
    found = re.match(r"started: (\S+) \(variant ", out)
    assert found, f"no started line in {out!r}"
    return found[1]


def tool_pid(device, directory):
    """The host pid of the capture tool that writes into `directory`."""
    for pid in device.processes("/vendor/bin/trcap"):
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            if cmdline.read().endswith(
                b"\0-o\0" + directory.removeprefix(device.root).encode() + b"\0"
            ):
                return pid
    raise AssertionError(f"no capture tool writes into {directory}")


def command_line(device):
    with open(device.path(COMMAND_FILE), "rb") as command:
        return command.read().split(b"\n")[0]


def ended(pid):
    """Whether the process is gone, or a zombie that nobody reaps (an orphan here)."""
    try:
        return proc_stat(f"/proc/{pid}/stat")["state"] == "Z"
    except OSError:
        return True


class Controller(subprocess.Popen):
    """An odlctl run in the background; killed if the road leaves it running."""

    def __init__(self, device, *args, wrapper=(), **options):
        command = [*wrapper, *odlctl_command("--root", device.root, *args)]
        super().__init__(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options
        )

    def line(self, stream=None, timeout=30):
        """Its next line of standard output (or of `stream`)."""
        stream = stream or self.stdout
        ready, _, _ = select.select([stream], [], [], timeout)
        assert ready, f"no line from odlctl in {timeout} s"
        return stream.readline()

    def finish(self, timeout):
        """(status, rest of standard output, standard error) once it has ended within `timeout`."""
        out, err = self.communicate(timeout=timeout)
        return Ran(self.returncode, out, err)

    def __exit__(self, *exc):
        if self.poll() is None:
            self.kill()
        return super().__exit__(*exc)


class OdlctlRoads(Road):
    def test_commands_wait_for_the_daemon_and_each_other(self):
        with Device() as device:
            device.wait_for(WATCHING)
            command = device.path(COMMAND_FILE)
            first = started(device.odlctl("start").out)
            self.assertEqual(os.stat(first).st_mode & 0o777, 0o777)
            written = os.stat(command).st_mtime_ns
            # Refused once the daemon has had the time to read the start, and nothing written.
            repeated = device.odlctl("start")
            running = f"{first} is running (pid {tool_pid(device, first)} -p 16, default)"
            refusal = f"the last command was start already and {running}"
            self.assert_ran(
                repeated,
                1,
                "",
                f"odlctl: {refusal}: the daemon does nothing on a repeated command\n",
            )
            self.assertEqual(os.stat(command).st_mtime_ns, written)
            # A stop the daemon has not read yet: the next one waits for it, then writes nothing.
            self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
            already = "odlctl: the last command was stop already: nothing written\n"
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, already)
            # Another controller's lock, even a shared one, is waited for.
            with open(command) as held:
                fcntl.flock(held, fcntl.LOCK_SH)
                with Controller(device, "--wait", "0", "start") as waiting:
                    waits = (
                        "start waits for the command file's lock, which another controller holds"
                    )
                    self.assertEqual(waiting.line(waiting.stderr), f"odlctl: {waits}\n")
                    with open(command) as now:
                        self.assertEqual(now.readline(), "stop\n")
                    fcntl.flock(held, fcntl.LOCK_UN)
                    self.assert_ran(waiting.finish(timeout=10), 0, "start written\n", "")

    def test_timed_capture_guards(self):
        with Device() as device:
            device.wait_for(WATCHING)
            sensors = device.path(SENSORS)
            device.write(f"{SENSORS}/odlctl_guard_notes.txt", b"kept\n")
            device.write(f"{SENSORS}/odlctl_guard_4194304", b"odl_sns_2020_01_01_00_00_00 1\n")
            # In the background, with a pipe of the caller's open on descriptor 3: back at once,
            # and the guard holds none of it.
            read_end, write_end = os.pipe()
            run = subprocess.run(
                [
                    "sh",
                    "-c",
                    '"$@" 3>&1',
                    "sh",
                    *odlctl_command("--root", device.root, "start", "--for", "4", "--background"),
                ],
                stdout=write_end,
                stderr=subprocess.PIPE,
                timeout=30,
            )
            os.close(write_end)
            with os.fdopen(read_end) as out:
                found = re.fullmatch(
                    r"started: (\S+) \(variant default\)\nstops at (\S+) \(in 4 s\): guard pid (\d+)\n",
                    out.read(),
                )
            self.assertEqual(run.returncode, 0)
            directory, stop_at, guard = found[1], found[2], int(found[3])
            self.assertFalse(ended(guard))
            self.assertRegex(
                device.odlctl("status").out,
                rf"  {directory}  running .* guard pid {guard} stops it at {stop_at} \(in [0-4] s\)\n",
            )
            self.assertEqual(
                sorted(name for name in os.listdir(sensors) if "guard" in name),
                [f"odlctl_guard_{guard}", "odlctl_guard_notes.txt"],
            )
            pid = tool_pid(device, directory)
            until(lambda: ended(guard) and ended(pid), "the guard's stop on time", timeout=15)
            # In the foreground, a guard killed: its controller stops the capture itself.
            with Controller(device, "start", "--for", "30") as timed:
                directory = started(timed.line())
                records = lambda: [
                    name
                    for name in os.listdir(sensors)
                    if name != "odlctl_guard_notes.txt" and "guard" in name
                ]
                until(records, "the guard's record")
                guard = int(records()[0].removeprefix("odlctl_guard_"))
                os.kill(guard, signal.SIGKILL)
                run = timed.finish(timeout=20)
            lost = f"odlctl: the guard (pid {guard}) ended without stopping {directory} (Killed): stopping it now\n"
            self.assert_ran(run, 0, STOPPED, lost)
            self.assertEqual(records(), [])

    def test_timed_capture_signals(self):
        with Device() as device:
            device.wait_for(WATCHING)
            now = "odlctl: SIGINT: stopping the capture now\n"
            # During the capture, once the daemon watches again after its pause: stopped at once.
            mark = len(device.snapshot())
            with Controller(device, "start", "--for", "60") as timed:
                started(timed.line())
                device.wait_for(WATCHING, device.wait_for(STARTING, mark))
                timed.send_signal(signal.SIGINT)
                self.assert_ran(timed.finish(timeout=10), 0, STOPPED, now)
            # During the wait for the start (the daemon's pause after that stop): the stop is
            # written at once, and the start the daemon reads late begins no capture.
            with Controller(device, "start", "--for", "60") as timed:
                until(lambda: command_line(device) == b"star", "the start written")
                timed.send_signal(signal.SIGINT)
                until(lambda: command_line(device) == b"stop", "the stop written", timeout=2)
                self.assert_ran(timed.finish(timeout=20), 1, STOPPED, now)
            # During the wait for the stop, which a capture tool that ignores the kill makes last:
            # odlctl leaves at once and says what may still be capturing.
            with open(device.path("/data/property/host.prop"), "a") as props:
                props.write("sim.trcap.ignore_kill=true\n")
            with Controller(device, "--wait", "30", "start", "--for", "1") as timed:
                directory = started(timed.line())
                until(lambda: command_line(device) == b"stop", "the guard's stop")
                timed.send_signal(signal.SIGINT)
                run = timed.finish(timeout=5)
            leaving = rf"odlctl: SIGINT: leaving; {directory} may still be capturing until its guard \(pid (\d+)\) has stopped it\n"
            self.assertEqual((run.status, run.out), (1, ""))
            guard = int(re.fullmatch(leaving, run.err)[1])
            os.kill(tool_pid(device, directory), signal.SIGKILL)
            until(lambda: ended(guard), "the guard's end once the tool has ended")

    def test_guards_beside_other_controllers(self):
        with Device() as device:
            device.wait_for(WATCHING)
            command = device.path(COMMAND_FILE)
            # Another controller's stop, read after the daemon's pause: the guard waits for that.
            with Controller(device, "start", "--for", "60") as timed:
                directory = started(timed.line())
                self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
                other = (
                    f"odlctl: another controller stopped {directory} meanwhile: nothing written\n"
                )
                self.assert_ran(timed.finish(timeout=30), 1, "", other)
            # A lock held past any patience: the guard says which capture waits, then stops it.
            with open(command) as held, Controller(device, "start", "--for", "1") as timed:
                directory = started(timed.line())
                fcntl.flock(held, fcntl.LOCK_EX)
                waits = f"odlctl: {directory}: its stop waits for the command file's lock, which another controller holds\n"
                self.assertEqual(timed.line(timed.stderr, timeout=40), waits)
                fcntl.flock(held, fcntl.LOCK_UN)
                self.assert_ran(timed.finish(timeout=20), 0, STOPPED, "")
            # A guard that may not record itself says so (a sensors directory read-only to it).
            sensors = device.path(SENSORS)
            read_only = f'mount --bind "$1" "$1" && mount --bind "$1/file1" "$1/file1" && mount -o remount,bind,ro "$1" && shift && exec "$@"'
            run = device.odlctl(
                "--wait",
                "1",
                "start",
                "--for",
                "1",
                "--background",
                wrapper=["unshare", "-rm", "sh", "-c", read_only, "sh", sensors],
            )
            self.assertRegex(
                run.err,
                rf"odlctl: warning: cannot record the guard in {sensors}/odlctl_guard_\d+: Read-only file system: status will not show it\n",
            )
            until(lambda: device.processes("/vendor/bin/trcap") == [], "the guard's stop")

    def test_prune_and_status_on_a_hostile_tree(self):
        names = ["2019_01_01_00_00_00", "date_time", "2020_01_01_00_00_01", "2020_01_01_00_00_02"]
        files = {f"{SENSORS}/odl_sns_{name}/x": b"" for name in names}
        files.update(
            {f"{SENSORS}/odl_sns_2020_01_01_00_00_01/data": b"x" * 5000, "/outside/k": b""}
        )
        with Device(files=files) as device:
            device.wait_for(WATCHING)
            mounted, dated, data, linked = [
                device.path(f"{SENSORS}/odl_sns_{name}") for name in names
            ]
            os.link(f"{data}/data", f"{linked}/link")
            os.utime(f"{data}/data", (0, time.time() + 3600))  # a write ahead is no growth
            for directory, when in [(mounted, 0), (dated, 1559347200), (data, 0), (linked, 0)]:
                os.utime(f"{directory}/x", (when, when))
                os.utime(directory, (when, when))
            recent = started(device.odlctl("start").out)
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")
            # A capture directory that is itself a mount point: named and left.
            bound = [*BOUND, device.path("/outside"), mounted]
            another = "a mount point: another file system"
            status = device.odlctl("status", wrapper=bound).out
            self.assertRegex(status, rf"\n  {mounted}  .*  {another}, not counted\n")
            kept = f"kept: {mounted} ({another}, left)\nfreed 0 bytes\n"
            self.assertEqual(device.odlctl("prune", "--keep", "4", wrapper=bound).out, kept)
            # The newest kept, odl_sns_date_time ranked by its last write; two names of one file
            # in two captures: the same figures whether removed or not.
            size = os.stat(f"{data}/data").st_blocks * 512
            lines = [
                f"{linked} (0 bytes)",
                f"{data} ({size} bytes)",
                f"{dated} (0 bytes)",
                f"{mounted} (0 bytes)",
            ]
            figures = "".join(f"%s: {line}\n" for line in lines) + f"%s {size} bytes\n"
            dry = device.odlctl("prune", "--keep", "1", "--dry-run")
            self.assert_ran(dry, 0, figures % (("would remove",) * 4 + ("would free",)), "")
            pruned = device.odlctl("prune", "--keep", "1")
            self.assert_ran(pruned, 0, figures % (("removed",) * 4 + ("freed",)), "")
            self.assertEqual(os.listdir(device.path(SENSORS)).count(os.path.basename(recent)), 1)
            # Entries that come and go during the walk are no error.
            capture = device.path(f"{SENSORS}/odl_sns_2021_01_01_00_00_00")
            os.mkdir(capture)
            rotating = threading.Event()

            def rotate():
                for number in range(100000):
                    if rotating.is_set():
                        return
                    open(f"{capture}/f{number}", "w").close()
                    if number >= 10:
                        os.unlink(f"{capture}/f{number - 10}")

            thread = threading.Thread(target=rotate)
            thread.start()
            try:
                statuses = [device.odlctl("status") for _ in range(20)]
            finally:
                rotating.set()
                thread.join(10)
            self.assertEqual([(run.status, run.err) for run in statuses], [(0, "")] * 20)
            # Without a sensors directory, only that is said.
            os.rename(device.path(SENSORS), device.path(SENSORS + ".away"))
            missing = f"odlctl: cannot read {device.path(SENSORS)}: No such file or directory\n"
            self.assert_ran(device.odlctl("status"), 1, "", missing)
            os.rename(device.path(SENSORS + ".away"), device.path(SENSORS))

    def test_capture_directory_moved(self):
        files = {f"{SENSORS}/odl_sns_2020_01_01_00_00_00/x": b""}
        with Device(files=files) as device:
            device.wait_for(WATCHING)
            directory = started(device.odlctl("start").out)
            pid = tool_pid(device, directory)
            # Renamed under its tool's feet, a running capture may be any capture odlctl lists.
            old = device.path(f"{SENSORS}/odl_sns_2020_01_01_00_00_00")
            os.rename(old, old + ".x")
            os.rename(directory, old)
            unknown = f"unknown: the directory of capture tool pid {pid} is gone or moved"
            self.assertIn(f"\n  {old}  growing, {unknown}  ", device.odlctl("status").out)
            self.assertEqual(
                device.odlctl("prune", "--keep", "0").out,
                f"kept: {old} (growing, {unknown})\nfreed 0 bytes\n",
            )
            os.rename(old, directory)
            os.rename(old + ".x", old)
            # A capture tool whose root this user may not read (from a user namespace of its own,
            # none outside it can be read): the quiet capture may be its, and is kept.
            alone = device.odlctl("prune", "--keep", "1", wrapper=["unshare", "-r"]).out
            cannot = r"\d+ processes cannot be read \(another user's\)"
            self.assertRegex(alone, rf"^kept: {old} \(unknown: {cannot}\)\n")
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")

    @unittest.skipUnless(os.geteuid() == 0, "only root mounts a /proc that hides processes")
    def test_proc_that_hides_other_users_processes(self):
        with Device() as device:
            device.wait_for(WATCHING)
            directory = started(device.odlctl("start").out)
            os.chmod(device.root, 0o755)
            hides = 'mount -t proc -o hidepid=2 proc /proc && exec "$@"'
            nobody = ["unshare", "-m", "sh", "-c", hides, "sh", *OTHER]
            unknown = "growing, unknown: /proc hides other users' processes"
            self.assertIn(
                f"\n  {directory}  {unknown}  ", device.odlctl("status", wrapper=nobody).out
            )
            self.assertIn(
                f"kept: {directory} ({unknown})\n",
                device.odlctl("prune", "--keep", "0", wrapper=nobody).out,
            )
            stop = device.odlctl("--wait", "1", "stop", wrapper=nobody)
            written = "stop written, but /proc hides other users' processes: whether the capture tools ended is unknown"
            self.assertRegex(stop.err, rf"^odlctl: {written}")


if __name__ == "__main__":
    unittest.main()
