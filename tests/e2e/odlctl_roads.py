"""End-to-end roads of odlctl on simulated devices, one theme each: commands that wait for the
daemon and for each other, timed captures under signals, guards that outlive their controllers or
meet other controllers, pruning a hostile tree, what a capture tool is, and views of /proc that
miss processes. A guard's stop is checked by the capture tool's kill line, within a window."""
import contextlib
import fcntl
import os
import pathlib
import re
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import COMMAND_FILE, FLUSH_PIPE, SENSORS, WATCHING  # noqa: E402
from device import Device, Ran, Road, odlctl, odlctl_command, proc_stat, until  # noqa: E402

STOPPED = "stopped: no capture tool of the default variant runs\n"
LOCKED = "waits for the command file's lock, which another controller holds\n"
NOW = "stopping the capture now\n"
KILL = "trcap -k -p 16"
# Whom the mode bits stop: the tests' own user, or nobody when they run as root.
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
# A mount namespace of odlctl's own, where "$1" is bound on "$2" (then the command).
BOUND = ["unshare", "-rm", "sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh"]
# The command with a descriptor 3 of the caller's: its standard output.
SHARING = ["sh", "-c", '"$@" 3>&1', "sh"]


def started(out):
    """The directory of odlctl's "started: DIR (variant ...)" line."""
    found = re.match(r"started: (\S+) \(variant ", out)
    assert found, f"no started line in {out!r}"
    return found[1]


def holds(device, text):
    """Waits until the command file holds `text` (a guard's or a controller's write)."""
    command_file = pathlib.Path(device.path(COMMAND_FILE))
    until(lambda: command_file.read_text() == text, f"the command file to hold {text!r}")


def ended(pid):
    """Whether the process is gone, or a zombie."""
    try:
        return proc_stat(f"/proc/{pid}/stat")["state"] == "Z"
    except FileNotFoundError:
        return True


class Controller(subprocess.Popen):
    """An odlctl run in the background; killed if the road leaves it running."""

    def __init__(self, device, *args, wrapper=(), **options):
        command = [*wrapper, *odlctl_command("--root", device.root, *args)]
        pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True}
        super().__init__(command, **{**pipes, **options})

    def line(self, stream=None, timeout=40):
        """Its next line of standard output (or of `stream`)."""
        stream = stream or self.stdout
        assert select.select([stream], [], [], timeout)[0], f"no line from odlctl in {timeout} s"
        return stream.readline()

    def guard(self):
        """The pid of its guard, its child."""
        return int(subprocess.check_output(["pgrep", "-P", str(self.pid)]).split()[0])

    def finish(self, timeout=30):
        """(status, rest of standard output, standard error) once it has ended within `timeout`."""
        out, err = self.communicate(timeout=timeout)
        return Ran(self.returncode, out, err)

    def __exit__(self, *exc):
        if self.poll() is None:
            self.kill()
        return super().__exit__(*exc)


class OdlctlRoads(Road):
    @contextlib.contextmanager
    def stops_within(self, device, least, most):
        """The block calls the clock it is given when the window opens; the capture tool's kill
        line after the block's start comes `least` to `most` seconds after that."""
        mark, begun = len(device.snapshot()), []
        yield lambda: begun.append(time.monotonic())
        accepts = lambda line: line.tag == "trcap-sim" and line.text == KILL  # noqa: E731
        killed = device.lines[device.wait_for(KILL, mark, accepts=accepts)].stamp - begun[0]
        self.assertTrue(least <= killed <= most, f"killed {killed:.2f} s after, not {least}-{most}")

    @contextlib.contextmanager
    def nothing_launched(self, device):
        """The first stop, carried out, for the block to write in the daemon's pause; once it is
        over the daemon reads the stop last written and launches nothing."""
        self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
        mark = device.wait_for(KILL, accepts=lambda line: line.text == KILL) + 1
        yield
        device.wait_for(WATCHING, device.wait_for("handle_events: handle_event : IN_MODIFY", mark))
        self.assertEqual([line.text for line in device.lines[mark:] if line.tag == "trcap-sim"], [])

    def test_commands_wait_for_the_daemon_and_each_other(self):
        with Device() as device:
            device.wait_for(WATCHING)
            first = started(device.odlctl("start").out)
            # Refused once the daemon has had the time to read the start.
            refused = device.odlctl("start")
            running = rf"{first} is running \(pid \d+ -p 16, default\): the daemon does nothing"
            self.assertRegex(
                refused.err, rf"^odlctl: the last command was start already and {running}"
            )
            self.assertEqual((refused.status, refused.out), (1, ""))
            header = r"capture configuration {0}/Diag.cfg: present\nflush pipe {0}/sns_diag_flush: served\n"
            header += r"last command: start, written \d s ago\nfree space: \d+ of \d+ bytes\n"
            header += r"capture directories, newest first: 1 \(\d+ bytes, \d+ files\)\n  "
            self.assertRegex(device.odlctl("status").out, "^" + header.format(device.path(SENSORS)))
            # A stop the daemon has not read yet: the next one waits for it, then writes nothing.
            self.assert_ran(device.odlctl("--wait", "0", "stop"), 0, "stop written\n", "")
            already = "odlctl: the last command was stop already: nothing written\n"
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, already)
            self.assert_ran(device.odlctl("flush"), 0, "flush requested\n", "")
            usage = odlctl("--frob")
            self.assertEqual((usage.status, usage.out), (2, ""))
            self.assertRegex(usage.err, r"^odlctl: unknown option --frob\nusage: odlctl \[--root ")

    def test_ending_signals_stop_a_timed_capture(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # In the daemon's pause: the start is written, then the stop at once.
            with self.nothing_launched(device), Controller(device, "start", "--for", "60") as timed:
                holds(device, "star\ndefault\n")
                timed.send_signal(signal.SIGINT)
                self.assert_ran(timed.finish(), 1, STOPPED, f"odlctl: SIGINT: {NOW}")
            # Right after its start is read, a hang-up that nohup turned away, then SIGINT: the
            # capture stopped at once.
            nohup = lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN)  # noqa: E731
            with self.stops_within(device, 0, 4) as begin:
                with Controller(device, "start", "--for", "60", preexec_fn=nohup) as timed:
                    started(timed.line())
                    begin()
                    timed.send_signal(signal.SIGHUP)
                    timed.send_signal(signal.SIGINT)
                    self.assert_ran(timed.finish(), 0, STOPPED, f"odlctl: SIGINT: {NOW}")
            # Its output blocked (a pipe full, that nobody reads): SIGTERM still stops the capture.
            read_end, write_end = os.pipe()
            fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
            os.write(write_end, b"x" * 4096)
            with self.stops_within(device, 0, 4) as begin:
                with Controller(device, "start", "--for", "60", stdout=write_end) as blocked:
                    launch = lambda line: line.text.startswith("trcap -p")  # noqa: E731
                    device.wait_for("a launch", len(device.snapshot()), accepts=launch)
                    blocked.send_signal(signal.SIGTERM)
                    begin()
                    blocked.wait(timeout=30)
            for end in (read_end, write_end):
                os.close(end)
            # During the stop's wait for a tool that does not end.
            device.props("sim.trcap.ignore_kill=true")
            with Controller(device, "--wait", "3", "start", "--for", "1") as timed:
                directory = started(timed.line())
                holds(device, "stop\ndefault\n")
                timed.send_signal(signal.SIGINT)
                cut = f"odlctl: SIGINT: the stop's wait cut short: {directory} may still be capturing\n"
                self.assert_ran(timed.finish(), 1, "", cut)

    def test_guards_outlive_their_controllers(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # Killed before its start is seen: its guard writes the stop, and nothing runs.
            with self.nothing_launched(device), Controller(device, "start", "--for", "60") as timed:
                holds(device, "star\ndefault\n")
                timed.kill()
                holds(device, "stop\ndefault\n")
            # Killed once it is seen: stopped at once.
            with self.stops_within(device, 0, 4) as begin:
                with Controller(device, "start", "--for", "60") as timed:
                    started(timed.line())
                    guard = timed.guard()
                    begin()
                    timed.kill()
            until(lambda: ended(guard), "the guard's end")
            # A guard frozen: its controller writes the stop once it is due by the pauses and the
            # wait; the guard, thawed, finds the stop written and writes nothing.
            with Controller(device, "--wait", "1", "start", "--for", "2") as timed:
                directory = started(timed.line())
                guard = timed.guard()
                os.kill(guard, signal.SIGSTOP)
                silent = f"the guard (pid {guard}) is silent past its stop's time, without stopping"
                now = f"odlctl: {silent} {directory}: stopping it now\n"
                self.assert_ran(timed.finish(40), 0, STOPPED, now)
            written = os.stat(device.path(COMMAND_FILE)).st_mtime_ns
            os.kill(guard, signal.SIGCONT)
            until(lambda: ended(guard), "the thawed guard's end")
            self.assertEqual(os.stat(device.path(COMMAND_FILE)).st_mtime_ns, written)

    def test_background_guards(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # With a pipe of the caller's open on descriptor 3: back at once, the guard holding
            # none of it, named by status, and the stop on time.
            read_end, write_end = os.pipe()
            timed = odlctl_command("--root", device.root, "start", "--for", "6", "--background")
            with self.stops_within(device, 5, 9) as begin:
                subprocess.run([*SHARING, *timed], stdout=write_end, timeout=30)
                begin()
                os.close(write_end)
                with os.fdopen(read_end) as out:
                    stops = r"stops at (\S+) \(in 6 s\): guard pid (\d+)"
                    printed = rf"started: (\S+) \(variant default\)\n{stops}\n"
                    found = re.fullmatch(printed, out.read())
                guarded = rf"  {found[1]}  running .* guard pid {found[3]} stops it at {found[2]} "
                self.assertRegex(device.odlctl("status").out, guarded)
            # SIGTERM and SIGHUP to the guard itself: stopped at once.
            for number in [signal.SIGTERM, signal.SIGHUP]:
                with self.stops_within(device, 0, 4) as begin:
                    background = device.odlctl("start", "--for", "60", "--background")
                    guard = int(background.out.split()[-1])
                    begin()
                    os.kill(guard, number)

    def test_guards_beside_other_controllers(self):
        with Device() as device:
            device.wait_for(WATCHING)
            os.chmod(device.root, 0o755)
            # Another user's guard (whose view of root's processes is incomplete) meets this
            # user's stop: the stop is that controller's, and the guard writes nothing more.
            with Controller(device, "start", "--for", "60", wrapper=OTHER) as timed:
                directory = started(timed.line())
                self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")
                other = f"odlctl: another controller wrote stop after the start of {directory}"
                other += ": the stop is its own, nothing written\n"
                self.assert_ran(timed.finish(), 1, "", other)
            # Another controller's start, which the daemon ignores: no longer the guard's to stop.
            with Controller(device, "start", "--for", "60") as timed:
                directory = started(timed.line())
                device.command("star\nenable_HLOS_packets\n")
                other = f"odlctl: another controller wrote start --packets after the start of {directory}"
                not_its = "its capture is not this guard's to stop, nothing written"
                self.assert_ran(timed.finish(), 1, "", f"{other}: {not_its}\n")
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")
            # A guard killed once it has written its stop, while the tool does not end: its
            # controller says so, and blames nobody else.
            device.props("sim.trcap.ignore_kill=true")
            with Controller(device, "--wait", "5", "start", "--for", "1") as timed:
                directory = started(timed.line())
                holds(device, "stop\ndefault\n")
                guard = timed.guard()
                os.kill(guard, signal.SIGKILL)
                killed = f"the guard (pid {guard}) ended (Killed) after it wrote the stop of"
                killed += f" {directory}"
                unseen = "whether its capture tools ended was not seen"
                self.assert_ran(timed.finish(), 1, "", f"odlctl: {killed}: {unseen}\n")

    def test_a_lock_held_past_any_patience(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # A controller killed while its guard waits for the lock: nothing is written.
            with open(device.path(COMMAND_FILE)) as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                with Controller(device, "start", "--for", "60") as timed:
                    self.assertEqual(timed.line(timed.stderr), f"odlctl: start {LOCKED}")
                    guard = timed.guard()
                    timed.kill()
                until(lambda: ended(guard), "the guard's end")
            self.assertEqual(pathlib.Path(device.path(COMMAND_FILE)).read_text(), "")
            # The guard says which capture waits, and stops it once the lock is free.
            with open(device.path(COMMAND_FILE)) as held:
                with Controller(device, "--wait", "1", "start", "--for", "1") as timed:
                    directory = started(timed.line())
                    fcntl.flock(held, fcntl.LOCK_EX)
                    waits = f"odlctl: {directory}: its stop {LOCKED}"
                    self.assertEqual(timed.line(timed.stderr), waits)
                    time.sleep(22)  # a writer's patience: its wait and 20 s
                    fcntl.flock(held, fcntl.LOCK_UN)
                    self.assert_ran(timed.finish(), 0, STOPPED, "")

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
            # One mounted inside a capture: named, left, and the rest removed.
            dated = device.path(f"{SENSORS}/odl_sns_2018_01_01_00_00_00")
            os.makedirs(f"{dated}/sub")
            os.utime(dated, (0, 0))
            sub = [device.path("/outside"), f"{dated}/sub"]
            named = f"\n    {dated}/sub: another file system, not counted\n"
            self.assertIn(named, device.odlctl("status", wrapper=[*BOUND, *sub]).out)
            if os.geteuid() == 0:
                mounted = ["unshare", "-m", *BOUND[2:], *sub]
                inside = device.odlctl("prune", "--keep", "1", wrapper=mounted)
                partly = f"partly removed: {dated} (0 bytes)\nfreed 0 bytes\n"
                left = f"odlctl: {dated}/sub is another file system: left\n"
                self.assert_ran(inside, 1, partly, left)
            # Without its flush pipe, a start that sees no effect says that the daemon may not run.
            os.rename(device.path(FLUSH_PIPE), device.path(FLUSH_PIPE + ".away"))
            said = f"odlctl: no new capture directory appeared; nothing serves the flush pipe "
            said += f"{device.path(FLUSH_PIPE)}: the daemon does not seem to run\n"
            self.assert_ran(device.odlctl("--wait", "1", "start"), 1, "", said)

    def test_views_that_miss_processes(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # A tool that sets its title, whose main thread exits while another writes into a file
            # that it keeps open, renamed with a new directory at its old name: known by what it
            # runs, writing where its files are.
            manners = ["title=capture-writer", "leader_exits=true", "keep_open=true"]
            device.props(*[f"sim.trcap.{manner}" for manner in manners])
            directory = started(device.odlctl("start").out)
            until(lambda: os.listdir(directory), "the tool's file")
            moved = device.path(f"{SENSORS}/odl_sns_2020_01_01_00_00_00")
            os.rename(directory, moved)
            os.mkdir(directory)
            status = device.odlctl("status").out
            self.assertRegex(status, rf"\n  {moved}  running \(pid \d+ \?, unknown\)  ")
            self.assertRegex(status, rf"\n  {directory}  finished  ")
            # From another pid namespace the daemon is not among the processes seen, and with the
            # flush pipe gone nothing there tells whether it runs.
            alone = ["unshare", "-r", "--pid", "--fork", "--mount-proc"]
            elsewhere = r"no process seen serves the flush pipe \(another pid namespace\?\)"
            elsewhere = rf"{moved}  growing, unknown: {elsewhere}"
            self.assertRegex(device.odlctl("status", wrapper=alone).out, rf"\n  {elsewhere}  ")
            kept = device.odlctl("prune", "--keep", "0", wrapper=alone).out
            self.assertIn(f"\nkept: {moved} (growing, unknown: no process seen serves", kept)
            os.rename(device.path(FLUSH_PIPE), device.path(FLUSH_PIPE + ".away"))
            self.assertRegex(device.odlctl("status", wrapper=alone).out, rf"\n  {elsewhere}  ")
            os.rename(device.path(FLUSH_PIPE + ".away"), device.path(FLUSH_PIPE))
            if os.geteuid() == 0:
                # /proc mounted as Android mounts it: a member of its group sees every process.
                os.chmod(device.root, 0o755)
                hidden = "/proc hides other users' processes"
                unread = r"pid \d+ \(uid 0\), .* cannot be read by uid 65534"
                for options, groups, seen in [
                    ("1", ["--clear-groups"], unread),
                    ("2", ["--clear-groups"], hidden),
                    ("2", ["--clear-groups", "unshare", "-r"], hidden),  # root of a user namespace
                    ("2,gid=3009", ["--groups=3009"], r"pid \d+ \(uid 0\)"),
                ]:
                    hides = f'mount -t proc -o hidepid={options} proc /proc && exec "$@"'
                    nobody = ["unshare", "-m", "sh", "-c", hides, "sh", *OTHER[:3], *groups]
                    status = device.odlctl("status", wrapper=nobody).out
                    self.assertRegex(status, rf"\n  {moved}  growing, unknown: {seen}")


if __name__ == "__main__":
    unittest.main()
