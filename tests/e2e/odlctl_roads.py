"""End-to-end roads of odlctl on simulated devices, one theme each: commands that wait for the
daemon and for each other, timed captures and their guards, pruning a hostile tree, and what
odlctl cannot see."""
import fcntl
import os
import re
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import COMMAND_FILE, SENSORS, WATCHING  # noqa: E402
from device import Device, Ran, Road, odlctl_command, until  # noqa: E402

STOPPED = "stopped: no capture tool of the default variant runs\n"
LOCKED = "waits for the command file's lock, which another controller holds\n"
# Whom the mode bits stop: the tests' own user, or nobody when they run as root.
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
# A mount namespace of odlctl's own, where "$1" is bound on "$2" (then the command).
BOUND = ["unshare", "-rm", "sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh"]
# One where the sensors directory "$1" is read-only but for the command file (then the command).
READ_ONLY = 'mount --bind "$1" "$1" && mount --bind "$1/file1" "$1/file1" && mount -o remount'
READ_ONLY = ["unshare", "-rm", "sh", "-c", READ_ONLY + ',bind,ro "$1" && shift && exec "$@"', "sh"]
# Files made and removed as fast as Python goes, in the directory argv[1].
CHURN = "import os,sys\nwhile 1:\n for i in range(64):\n  open(f'{sys.argv[1]}/{i}','w').close()\n  os.path.exists(f'{sys.argv[1]}/{i^32}') and os.unlink(f'{sys.argv[1]}/{i^32}')"
# The command with a descriptor 3 of the caller's: its standard output.
SHARING = ["sh", "-c", '"$@" 3>&1', "sh"]


def started(out):
    """The directory of odlctl's "started: DIR (variant ...)" line."""
    found = re.match(r"started: (\S+) \(variant ", out)
    assert found, f"no started line in {out!r}"
    return found[1]


class Controller(subprocess.Popen):
    """An odlctl run in the background; killed if the road leaves it running."""

    def __init__(self, device, *args):
        command = odlctl_command("--root", device.root, *args)
        super().__init__(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def line(self, stream=None, timeout=30):
        """Its next line of standard output (or of `stream`)."""
        stream = stream or self.stdout
        assert select.select([stream], [], [], timeout)[0], f"no line from odlctl in {timeout} s"
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
            refused = device.odlctl("start")
            running = rf"{first} is running \(pid \d+ -p 16, default\): the daemon does nothing"
            self.assertRegex(
                refused.err, rf"^odlctl: the last command was start already and {running}"
            )
            self.assertEqual((refused.status, refused.out), (1, ""))
            self.assertEqual(os.stat(command).st_mtime_ns, written)
            # A stop the daemon has not read yet: the next one waits for it, then writes nothing.
            self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
            already = "odlctl: the last command was stop already: nothing written\n"
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, already)
            # Another controller's lock, even a shared one, is waited for.
            with open(command) as held:
                fcntl.flock(held, fcntl.LOCK_SH)
                waiting = Controller(device, "--wait", "0", "start")
                self.assertEqual(waiting.line(waiting.stderr), f"odlctl: start {LOCKED}")
                self.assertEqual(held.readline(), "stop\n")
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
            timed = odlctl_command("--root", device.root, "start", "--for", "4", "--background")
            subprocess.run([*SHARING, *timed], stdout=write_end, timeout=30)
            os.close(write_end)
            with os.fdopen(read_end) as out:
                stops = r"stops at (\S+) \(in 4 s\): guard pid (\d+)"
                found = re.fullmatch(rf"started: (\S+) \(variant default\)\n{stops}\n", out.read())
            directory, stop_at, guard = found[1], found[2], int(found[3])
            guarded = rf"  {directory}  running .* pid {guard} stops it at {stop_at} "
            self.assertRegex(device.odlctl("status").out, guarded)
            records = lambda: sorted(name for name in os.listdir(sensors) if "_guard_" in name)
            self.assertEqual(records(), [f"odlctl_guard_{guard}", "odlctl_guard_notes.txt"])
            forged = f"{os.path.basename(directory)} 99999999999\n".encode()  # past 2100
            device.write(f"{SENSORS}/odlctl_guard_{guard}", forged)
            self.assertNotIn(f"pid {guard} stops", device.odlctl("status").out)
            gone = lambda: not os.path.exists(f"/proc/{guard}")
            until(gone, "the guard's stop on time", timeout=15)
            # In the foreground, a guard killed: its controller stops the capture itself.
            with Controller(device, "start", "--for", "30") as timed:
                directory = started(timed.line())
                until(lambda: len(records()) == 2, "the guard's record")
                guard = int(records()[0].removeprefix("odlctl_guard_"))
                os.kill(guard, signal.SIGKILL)
                run = timed.finish(timeout=20)
            lost = f"odlctl: the guard (pid {guard}) ended without stopping {directory} (Killed)"
            self.assert_ran(run, 0, STOPPED, f"{lost}: stopping it now\n")
            self.assertEqual(records(), ["odlctl_guard_notes.txt"])

    def test_guards_beside_other_controllers(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # Another controller's stop, read after the daemon's pause: the guard waits for that.
            with Controller(device, "start", "--for", "60") as timed:
                directory = started(timed.line())
                self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
                other = f"odlctl: another controller stopped {directory} meanwhile"
                self.assert_ran(timed.finish(timeout=30), 1, "", f"{other}: nothing written\n")
            # A lock held past any patience: the guard says which capture waits, then stops it.
            with open(device.path(COMMAND_FILE)) as held:
                with Controller(device, "start", "--for", "1") as timed:
                    directory = started(timed.line())
                    fcntl.flock(held, fcntl.LOCK_EX)
                    waits = timed.line(timed.stderr, timeout=40)
                    self.assertEqual(waits, f"odlctl: {directory}: its stop {LOCKED}")
                    fcntl.flock(held, fcntl.LOCK_UN)
                    self.assert_ran(timed.finish(timeout=20), 0, STOPPED, "")
            # A guard that may not record itself says so (a sensors directory read-only to it).
            sensors = device.path(SENSORS)
            timed = ["--wait", "1", "start", "--for", "1", "--background"]
            run = device.odlctl(*timed, wrapper=[*READ_ONLY, sensors])
            cannot = (
                f"cannot record the guard in {sensors}/odlctl_guard_\\d+: Read-only file system"
            )
            self.assertRegex(run.err, rf"odlctl: warning: {cannot}: status will not show it\n")
            until(lambda: device.processes("/vendor/bin/trcap") == [], "the guard's stop")

    def test_prune_and_status_on_a_hostile_tree(self):
        names = ["2019_01_01_00_00_00", "date_time", "2020_01_01_00_00_01", "2020_01_01_00_00_02"]
        files = {f"{SENSORS}/odl_sns_{name}/x": b"" for name in names}
        files[f"{SENSORS}/odl_sns_{names[2]}/data"] = b"x" * 5000
        files["/outside/k"] = b""
        with Device(files=files) as device:
            device.wait_for(WATCHING)
            mounted, dated, data, linked = [device.path(f"{SENSORS}/odl_sns_{n}") for n in names]
            os.link(f"{data}/data", f"{linked}/link")
            os.utime(f"{data}/data", (0, time.time() + 3600))  # a write ahead is no growth
            for directory, when in [(mounted, 0), (dated, 1559347200), (data, 0), (linked, 0)]:
                os.utime(f"{directory}/x", (when, when))
                os.utime(directory, (when, when))
            started(device.odlctl("start").out)
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
            lines = [f"{linked} (0 bytes)", f"{data} ({size} bytes)", f"{dated} (0 bytes)"]
            figures = "".join(f"%s: {line}\n" for line in [*lines, f"{mounted} (0 bytes)"])
            figures += f"%s {size} bytes\n"
            dry = device.odlctl("prune", "--keep", "1", "--dry-run")
            self.assert_ran(dry, 0, figures % (("would remove",) * 4 + ("would free",)), "")
            pruned = device.odlctl("prune", "--keep", "1")
            self.assert_ran(pruned, 0, figures % (("removed",) * 4 + ("freed",)), "")
            # Entries that come and go during the walk are no error.
            capture = device.path(f"{SENSORS}/odl_sns_2021_01_01_00_00_00")
            os.mkdir(capture)
            with subprocess.Popen([sys.executable, "-c", CHURN, capture]) as rotating:
                statuses = [device.odlctl("status") for _ in range(20)]
                rotating.kill()
            self.assertEqual([(run.status, run.err) for run in statuses], [(0, "")] * 20)
            # Without a sensors directory, only that is said.
            os.rename(device.path(SENSORS), device.path(SENSORS + ".away"))
            missing = f"odlctl: cannot read {device.path(SENSORS)}: No such file or directory\n"
            self.assert_ran(device.odlctl("status"), 1, "", missing)

    def test_capture_directory_moved(self):
        with Device(files={f"{SENSORS}/odl_sns_2020_01_01_00_00_00/x": b""}) as device:
            device.wait_for(WATCHING)
            directory = started(device.odlctl("start").out)
            # Renamed under its tool's feet, a running capture may be any capture odlctl lists.
            old = device.path(f"{SENSORS}/odl_sns_2020_01_01_00_00_00")
            os.rename(old, old + ".x")
            os.rename(directory, old)
            unknown = r"unknown: the directory of capture tool pid \d+ is gone or moved"
            self.assertRegex(device.odlctl("status").out, rf"\n  {old}  growing, {unknown}  ")
            kept = rf"^kept: {old} \(growing, {unknown}\)\nfreed 0 bytes\n$"
            self.assertRegex(device.odlctl("prune", "--keep", "0").out, kept)
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
            hidden = "/proc hides other users' processes"
            unknown = f"growing, unknown: {hidden}"
            status = device.odlctl("status", wrapper=nobody).out
            self.assertIn(f"\n  {directory}  {unknown}  ", status)
            pruned = device.odlctl("prune", "--keep", "0", wrapper=nobody).out
            self.assertIn(f"kept: {directory} ({unknown})\n", pruned)
            stop = device.odlctl("--wait", "1", "stop", wrapper=nobody)
            self.assertRegex(stop.err, rf"^odlctl: stop written, but {hidden}: whether the capture")


if __name__ == "__main__":
    unittest.main()
