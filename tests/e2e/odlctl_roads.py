"""End-to-end roads of odlctl on simulated devices: captures that stay quiet or
do not end, pruning, timed captures and their guards, signals in every phase,
and a device that does what it can to mislead, block or hurt odlctl."""
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
from device import Device, Ran, Road, odlctl, odlctl_command, proc_stat, until  # noqa: E402

STOPPED = "stopped: no capture tool of the default variant runs\n"
DENIED = "Permission denied"
USAGE = "usage: odlctl [--root DIR] [--wait SECONDS] start [--packets] [--for SECONDS"
# Whom the mode bits stop: the tests' own user, or nobody when they run as root.
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
# odlctl in a user namespace of its own: no process outside it can be read.
ALONE = ["unshare", "-r"]
# How much longer the same step takes where odlctl runs under qemu-user.
SLOW = 3 if os.environ.get("SENSORS_EMULATOR") else 1


def started(out):
    """The directory of odlctl's "started: DIR (variant ...)" line."""
    found = re.match(r"started: (\S+) \(variant ", out)
    assert found, f"no started line in {out!r}"
    return found[1]


def tool_pid(device, directory):
    """The host pid of the capture tool that writes into `directory`."""
    for pid in device.processes("/vendor/bin/trcap"):
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            if cmdline.read().endswith(b"\0-o\0" + directory.encode() + b"\0"):
                return pid
    raise AssertionError(f"no capture tool writes into {directory}")


def ended(pid):
    """Whether the process is gone, or a zombie that nobody reaps (an orphan here)."""
    try:
        return proc_stat(f"/proc/{pid}/stat")["state"] == "Z"
    except OSError:
        return True


def ignore_kill(device):
    """Capture tools launched from now on ignore the kill."""
    with open(device.path("/data/property/host.prop"), "a") as props:
        props.write("sim.trcap.ignore_kill=true\n")


def make_fifo(_, path):
    os.mkfifo(path)


def blocks(*paths):
    return sum(os.lstat(path).st_blocks * 512 for path in paths)


def command_line(device):
    with open(device.path(COMMAND_FILE), "rb") as command:
        return command.read().split(b"\n")[0]


class Controller(subprocess.Popen):
    """An odlctl run in the background; killed if the road leaves it running."""

    def __init__(self, device, *args):
        super().__init__(
            odlctl_command("--root", device.root, *args),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )

    def line(self, timeout=30):
        """Its next line of standard output."""
        ready, _, _ = select.select([self.stdout], [], [], timeout)
        assert ready, f"no line from odlctl in {timeout} s"
        return self.stdout.readline()

    def finish(self, timeout):
        """(status, rest of standard output, standard error) once it has ended within `timeout`."""
        out, err = self.communicate(timeout=timeout)
        return Ran(self.returncode, out, err)

    def __exit__(self, *exc):
        if self.poll() is None:
            self.kill()
        return super().__exit__(*exc)


class OdlctlRoads(Road):
    def test_quiet_capture_and_prune(self):
        old = f"{SENSORS}/odl_sns_2020_01_01_00_00_00"
        # No real times, so no captures: month 13 and 29 February 2023.
        no_captures = [
            f"{SENSORS}/odl_sns_2024_13_01_00_00_00",
            f"{SENSORS}/odl_sns_2023_02_29_00_00_00",
        ]
        files = {
            f"{old}/inner/deep/data": b"x" * 5000,
            f"{old}/mnt/keep": b"",
            "/outside/kept": b"k",
        }
        files.update({f"{directory}/x": b"" for directory in no_captures})
        with Device(props=["sim.trcap.write_period_ms=0"], files=files) as device:
            device.wait_for(WATCHING)
            old = device.path(old)
            outside = device.path("/outside/kept")
            os.link(f"{old}/inner/deep/data", f"{old}/data_link")
            os.link(outside, f"{old}/outside_link")
            with open(f"{old}/sparse", "wb") as sparse:
                sparse.truncate(1 << 40)
            for directory, _, names in os.walk(old):
                for name in [".", *names]:
                    os.utime(os.path.join(directory, name), (0, 0), follow_symlinks=False)

            # A stop written during the daemon's 3 s pause after a start is read when it ends.
            first = started(device.odlctl("start").out)
            self.assert_ran(device.odlctl("--wait", "2", "stop"), 0, STOPPED, "")
            run = device.odlctl("start")
            second = started(run.out)
            pid = tool_pid(device, second.removeprefix(device.root))
            quiet = f"{second}/{os.listdir(second)[0]}"
            until(lambda: time.time() - os.stat(quiet).st_mtime > 2.5, "a write 2.5 s old")
            running = f"running (pid {pid} -p 16, default)"

            # Nothing of another file system mounted inside an old capture is touched (a mount
            # of the road's own, seen by odlctl in its namespace); a file is freed once its last
            # link goes, by its allocated blocks; --dry-run says the same.
            bind = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
            binding = [os.path.dirname(outside), f"{old}/mnt"]
            mounted = ["unshare", "-rm", "sh", "-c", bind, "sh", *binding]
            old_bytes = blocks(f"{old}/inner/deep/data", f"{old}/sparse")
            lines = f"%s: {old} ({old_bytes} bytes)\n%s {old_bytes} bytes\n"
            left = f"odlctl: {old}/mnt is another file system: left\n"
            # The whole tree counted (a 1 TiB sparse file, two names of one 5000-byte file, a link
            # out), but for the mount.
            status = device.odlctl("status", wrapper=mounted).out
            whole = f"  {old}  finished  1099511637777 bytes  4 files  newest write "
            self.assertIn(whole, status)
            self.assertIn(f"\n    {old}/mnt: another file system, not counted\n", status)
            dry = device.odlctl("prune", "--keep", "2", "--dry-run", wrapper=mounted)
            self.assert_ran(dry, 1, lines % ("would partly remove", "would free"), left)
            pruned = device.odlctl("prune", "--keep", "2", wrapper=mounted)
            self.assert_ran(pruned, 1, lines % ("partly removed", "freed"), left)
            self.assertEqual(os.listdir(old), ["mnt"])
            with open(outside, "rb") as kept:
                self.assertEqual(kept.read(), b"k")
            os.utime(old, (0, 0))

            # The running capture is kept although it does not grow.
            first_bytes = blocks(*[f"{first}/{name}" for name in os.listdir(first)])
            pruned = device.odlctl("prune", "--keep", "0")
            removed = f"removed: {first} ({first_bytes} bytes)\nremoved: {old} (0 bytes)\n"
            freed = f"freed {first_bytes} bytes\n"
            self.assert_ran(pruned, 0, f"kept: {second} ({running})\n{removed}{freed}")
            left_alone = [os.path.exists(device.path(directory)) for directory in no_captures]
            self.assertEqual(left_alone, [True, True])

            # Stopped only once the tool has ended; one that ignores the kill is named.
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")
            self.assertTrue(ended(pid))
            ignore_kill(device)
            third = started(device.odlctl("start").out)
            pid = tool_pid(device, third.removeprefix(device.root))
            stubborn = device.odlctl("--wait", "2", "stop")
            tools = f"pid {pid} (-p 16 into {third})"
            still = f"odlctl: stop written, but capture tools of the default variant still run: {tools}\n"
            self.assert_ran(stubborn, 1, "", still)
            os.kill(pid, signal.SIGKILL)
            until(lambda: ended(pid), "the end of the stubborn capture tool")
            os.utime(third, (0, time.time() + 3600))
            status = device.odlctl("status").out
            self.assertRegex(status, r"\nlast command: stop, written \d s ago\n")
            future = r"finished  \d+ bytes  \d+ files  newest write 3[56]\d\d s in the future"
            self.assertRegex(status, rf"\n  {third}  {future}\n")

    def test_timed_capture_signals(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # During the capture, once the daemon watches again after its pause: stopped at once.
            mark = len(device.snapshot())
            with Controller(device, "start", "--for", "60") as timed:
                started(timed.line())
                device.wait_for(
                    WATCHING,
                    device.wait_for("handle_events: Daig : Diag.cfg present: starting trcap", mark),
                )
                timed.send_signal(signal.SIGINT)
                now = "odlctl: SIGINT: stopping the capture now\n"
                self.assert_ran(timed.finish(timeout=SLOW), 0, STOPPED, now)

            # During the wait for the start (the daemon's pause after that stop): the stop is
            # written at once, and the start the daemon reads late begins no capture.
            with Controller(device, "start", "--for", "60") as timed:
                until(lambda: command_line(device) == b"star", "the start written")
                timed.send_signal(signal.SIGINT)
                until(lambda: command_line(device) == b"stop", "the stop written", timeout=SLOW)
                self.assert_ran(timed.finish(timeout=15), 1, STOPPED, now)

            # During the wait for the stop, which a capture tool that ignores the kill makes
            # last: odlctl leaves at once and says what may still be capturing.
            ignore_kill(device)
            with Controller(device, "--wait", "30", "start", "--for", "1") as timed:
                directory = started(timed.line())
                until(lambda: command_line(device) == b"stop", "the guard's stop")
                timed.send_signal(signal.SIGINT)
                run = timed.finish(timeout=SLOW)
            capturing = f"{directory} may still be capturing until its guard"
            leaving = rf"odlctl: SIGINT: leaving; {capturing} \(pid (\d+)\) has stopped it\n"
            self.assertEqual(run.out, "")
            self.assertEqual(run.status, 1)
            guard = int(re.fullmatch(leaving, run.err)[1])
            with open(f"/proc/{guard}/comm") as comm:
                self.assertEqual(comm.read(), "odlctl-guard\n")
            os.kill(tool_pid(device, directory.removeprefix(device.root)), signal.SIGKILL)
            until(lambda: ended(guard), "the guard's end once the tool has ended")

    def test_guards(self):
        with Device() as device:
            device.wait_for(WATCHING)
            # Its controller killed 2 s in, the guard writes the stop at once.
            with Controller(device, "start", "--for", "8") as timed:
                directory = started(timed.line())
                pid = tool_pid(device, directory.removeprefix(device.root))
                time.sleep(2)
                timed.kill()
                killed_at = time.monotonic()
            mark = len(device.snapshot())
            kill = device.wait_for("trcap -k -p 16", mark, timeout=10)
            self.assertLess(device.lines[kill].stamp - killed_at, 1.5 * SLOW)
            until(lambda: ended(pid), "no capture running")

            # In the background: odlctl leaves at once, its guard stops the capture on time.
            run = device.odlctl("start", "--for", "6", "--background")
            directory = started(run.out)
            stops = r"stops at (\d\d:\d\d:\d\d) \(in 6 s\): guard pid (\d+)"
            found = re.fullmatch(rf"started: \S+ \(variant default\)\n{stops}\n", run.out)
            self.assertIsNotNone(found, run.out)
            guard = int(found[2])
            status = device.odlctl("status").out
            self.assertRegex(
                status,
                rf"  {directory}  running .* guard pid {guard} stops it at {found[1]} \(in [0-6] s\)\n",
            )
            launch = device.wait_for(
                "launch",
                accepts=lambda line: directory.removeprefix(device.root) + " &" in line.text
                or line.text.endswith("-o " + directory.removeprefix(device.root)),
            )
            kill = device.wait_for("trcap -k -p 16", launch, timeout=15)
            length = device.lines[kill].stamp - device.lines[launch].stamp
            self.assertGreaterEqual(length, 6.0)
            self.assertLess(length, 7.0 + SLOW)
            until(lambda: ended(guard), "the guard's end after its stop")

            # A stop by another controller ends the capture and its guard with it; a guard never
            # stops a capture that another controller started meanwhile.
            run = device.odlctl("start", "--for", "60", "--background")
            guard = int(run.out.split()[-1])
            self.assert_ran(device.odlctl("stop"), 0, STOPPED, "")
            until(lambda: ended(guard), "the guard's end after another controller's stop")
            run = device.odlctl("start", "--for", "4", "--background")
            guard = int(run.out.split()[-1])
            self.assertEqual(device.odlctl("stop").status, 0)
            other = started(device.odlctl("start").out)
            until(lambda: ended(guard), "the guard's end after another controller's start")
            self.assertIn(f"  {other}  running ", device.odlctl("status").out)

    def test_hostile_device(self):
        with Device() as device:
            os.chmod(device.root, 0o755)
            sensors = device.path(SENSORS)
            command = device.path(COMMAND_FILE)
            pipe = device.path(FLUSH_PIPE)
            # Command lines that are not one: an option where it means nothing, a number that is
            # not plain digits, an option given twice, an empty root.
            for words in [
                ["status", "--wait", "5"],
                ["flush", "--wait", "1"],
                ["stop", "--wait", " 5"],
                ["stop", "--wait", "+5"],
                ["prune", "--keep", "+2"],
                ["stop", "--wait", "1", "--wait", "2"],
                ["start", "--packets", "--packets"],
                ["--root", "", "status"],
                ["start", "--for", "5", "--wait", "0"],
                ["start", "--background"],
            ]:
                refused = odlctl(*words)
                self.assertEqual(refused.status, 2, words)
                self.assertTrue(refused.err.startswith(USAGE), refused.err)
            # A start written before the daemon watches is not carried out, and no reason to
            # refuse the next one.
            device.wait_for("trcap_capture:  in trcap_capture ")
            early = device.odlctl("--wait", "1", "start")
            self.assert_ran(early, 1, "", "odlctl: no new capture directory appeared\n")
            device.wait_for(WATCHING)

            # Two starts at once: they take turns; the second names what runs.
            with Controller(device, "start") as one, Controller(
                device, "start", "--packets"
            ) as two:
                runs = sorted([one.finish(timeout=60), two.finish(timeout=60)])
            first = started(runs[0].out)
            variant = re.search(r"\(variant (\S+)\)", runs[0].out)[1]
            refusal = rf"odlctl: the last command was start( --packets)? already and {first} runs \(pid \d+ -p \d+, {variant}\): the daemon does nothing on a repeated command\n"
            self.assertEqual(runs[1].status, 1)
            self.assertEqual(runs[1].out, "")
            self.assertRegex(runs[1].err, refusal)
            packets = ["--packets"] if variant == "--packets" else []
            self.assertEqual(device.odlctl("stop", *packets).status, 0)

            # Processes it may not read (another user's; from a user namespace of its own, any
            # outside it) fall back to growth, never to "finished".
            ignore_kill(device)
            run = device.odlctl("start", wrapper=ALONE)
            second = started(run.out)
            unseen = "its capture tool cannot be read, it grows"
            self.assert_ran(run, 0, f"started: {second} (variant unknown: {unseen})\n", "")
            status = device.odlctl("status", wrapper=ALONE).out
            # Another device's capture tool of the same second would count too.
            self.assertRegex(
                status, r"\nprocesses: \d+ processes cannot be read \(another user's\): "
            )
            stopped = device.odlctl("--wait", "1", "stop", wrapper=ALONE)
            unknown = "whether the capture tools ended is unknown, and"
            cannot = rf"\d+ processes cannot be read \(another user's\): {unknown} {second} grows"
            self.assertEqual(stopped.status, 1)
            self.assertEqual(stopped.out, "")
            self.assertRegex(stopped.err, rf"^odlctl: stop written, but {cannot}\n$")
            kept = f"kept: {second} (growing (whether a capture tool runs for it cannot be read))"
            self.assertIn(
                kept, device.odlctl("prune", "--keep", "0", "--dry-run", wrapper=ALONE).out
            )

            # What it may not read is named, and nothing is concluded from it.
            os.chmod(sensors, 0o333)
            status = device.odlctl("status", wrapper=OTHER)
            self.assertEqual(status.err, f"odlctl: cannot read {sensors}: {DENIED}\n")
            os.chmod(sensors, 0o666)
            config = f"capture configuration {sensors}/Diag.cfg: cannot be told: {DENIED}\n"
            self.assertIn(config, device.odlctl("status", wrapper=OTHER).out)
            os.chmod(sensors, 0o777)
            os.kill(tool_pid(device, second.removeprefix(device.root)), signal.SIGKILL)
            # A link in place of the sensors directory is not followed.
            os.rename(sensors, sensors + ".real")
            os.symlink(sensors + ".real", sensors)
            linked = f"{sensors} is a symbolic link or no directory: not followed"
            self.assert_ran(
                device.odlctl("stop"), 1, "", f"odlctl: cannot read {sensors}: {linked}\n"
            )
            os.unlink(sensors)
            os.rename(sensors + ".real", sensors)

            # A tool that leaves an empty file and ends has not started a capture.
            os.unlink(device.path("/vendor/bin/trcap"))
            device.write(
                "/vendor/bin/trcap", b'#!/bin/sh\nfor last; do :; done\n: >"$last/empty"\n'
            )
            os.chmod(device.path("/vendor/bin/trcap"), 0o755)
            run = device.odlctl("--wait", "3", "start")
            third = run.err.removeprefix("odlctl: ").split(" appeared")[0]
            nothing = "no capture tool runs for it: it did not start, or ended at once"
            self.assert_ran(run, 1, "", f"odlctl: {third} appeared, but {nothing}\n")

            # A link, another name, a FIFO or a link to an endless device at the command file:
            # refused at once, nothing written.
            os.rename(command, command + ".real")
            device.write("/log", b"log line\n")
            shown = f"odlctl: command file {device.root}/data/vendor//sensors/file1"
            link = "is a symbolic link: not followed"
            names = "has 2 links: left alone, a write would reach the other names too"
            log = device.path("/log")
            for make, target, args, refusal in [
                (os.symlink, log, "start", link),
                (os.link, log, "stop", names),
                (make_fifo, None, "start", "is not a regular file: left alone"),
            ]:
                make(target, command)
                refused = device.odlctl(args)
                self.assert_ran(refused, 1, "", f"{shown} {refusal}\n")
                os.unlink(command)
            with open(log, "rb") as logged:
                self.assertEqual(logged.read(), b"log line\n")

            # The flush pipe: not this user's to write, a link, full, and a reader that comes and
            # goes, which never kills odlctl with SIGPIPE.
            os.chmod(pipe, 0o444)
            refused = device.odlctl("flush", wrapper=OTHER)
            barred = "not permitted (this user may not write into it), nothing written into it"
            self.assert_ran(refused, 1, "", f"odlctl: flush pipe {pipe}: {barred}\n")
            os.rename(pipe, pipe + ".served")
            os.symlink(pipe + ".served", pipe)
            followed = "a symbolic link, not followed, nothing written into it"
            self.assert_ran(
                device.odlctl("flush"), 1, "", f"odlctl: flush pipe {pipe}: {followed}\n"
            )
            os.unlink(pipe)
            os.mkfifo(pipe, 0o666)
            reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
            filler = os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)
            with self.assertRaises(BlockingIOError):
                while True:
                    os.write(filler, b"x" * 4096)
            full = f"odlctl: cannot write into {pipe}: the pipe is full (Resource temporarily unavailable)\n"
            self.assert_ran(device.odlctl("flush"), 1, "", full)
            os.close(filler)
            os.close(reader)
            self.assert_flush_survives_a_flapping_reader(device, pipe)

    def assert_flush_survives_a_flapping_reader(self, device, pipe):
        flapping = threading.Event()

        def flap():
            while not flapping.is_set():
                os.close(os.open(pipe, os.O_RDONLY | os.O_NONBLOCK))

        thread = threading.Thread(target=flap)
        thread.start()
        try:
            runs = [device.odlctl("flush") for _ in range(50)]
        finally:
            flapping.set()
            thread.join(10)
        reasons = ("(nothing reads it), is the daemon running?\n", "(Broken pipe)\n")
        unexplained = [run for run in runs if run.status != 0 and not run.err.endswith(reasons)]
        self.assertEqual(unexplained, [])


if __name__ == "__main__":
    unittest.main()
