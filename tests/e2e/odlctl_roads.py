"""End-to-end roads of odlctl on simulated devices: a timed capture and pruning,
then a device that does what it can to mislead, block or hurt it."""
import os
import re
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import (
    COMMAND_FILE,
    FLUSH_PIPE,
    SENSORS,
    WATCHING,
    Device,
    odlctl,
    odlctl_command,
)  # noqa: E402

STOPPED = "stopped: no capture directory grows\n"
DENIED = "Permission denied"
UNREADABLE = "odlctl: cannot read {}: Permission denied\n"
LINK = "is a symbolic link: not followed"
# Whom the mode bits stop: the tests' own user, or nobody when they run as root.
OTHER = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []


class OdlctlRoads(unittest.TestCase):
    maxDiff = None  # a failing road shows its whole diff

    def test_timed_capture_then_prune(self):
        old = [f"{SENSORS}/odl_sns_2020_01_0{day}_00_00_00" for day in (1, 2)]
        files = {
            f"{directory}/{name}": data
            for directory, size in zip(old, (100, 101))
            for name, data in (("data", b"x" * size), ("inner/more", b"y" * 10))
        }
        with Device(files={**files, f"{old[1]}/fifo": None, "/outside/keep": b"kept"}) as device:
            device.wait_for(WATCHING)
            sensors, old = device.path(SENSORS), list(map(device.path, old))
            left = [f"{sensors}/odl_sns_2019_01_01{end}" for end in ("_00_00_00", "")] + [
                device.path("/outside/keep")
            ]
            os.symlink(left[2], f"{old[0]}/link")
            os.symlink(device.path("/outside"), left[0])
            os.mkdir(left[1])

            # Timed: the stop comes 5 s after the start, its too short wait stretched.
            status, printed, error = device.odlctl("--wait", "2", "start", "--for", "5")
            new = printed.split("\n")[0].removeprefix("started: ")
            self.assertEqual(
                (status, printed, error),
                (
                    0,
                    f"started: {new}\n{STOPPED}",
                    "odlctl: --wait 2 stretched "
                    "to 5 s: a stop is seen only once no capture changed for 2.5 s\n",
                ),
            )
            launched = device.wait_for(
                lambda line: line.text.startswith("trcap -p 16") and "odl_sns" in line.text
            )
            killed = device.wait_for(lambda line: line.text == "trcap -k -p 16", launched)
            self.assertGreaterEqual(device.lines[killed].stamp - device.lines[launched].stamp, 5.0)

            self.assertEqual(
                device.odlctl("prune", "--keep", "1", "--dry-run"),
                (
                    0,
                    f"would remove: {old[1]} (111 "
                    f"bytes)\nwould remove: {old[0]} (110 bytes)\nwould free 221 bytes\n",
                    "",
                ),
            )
            self.assertEqual(
                device.odlctl("prune", "--keep", "1"),
                (
                    0,
                    f"removed: {old[1]} (111 bytes)\n"
                    f"removed: {old[0]} (110 bytes)\nfreed 221 bytes\n",
                    "",
                ),
            )
            self.assertEqual(
                [os.path.lexists(path) for path in old + [new] + left],
                [False, False, True] + [True] * 3,
            )

            # Ctrl-C ends a timed capture at once, and a growing directory is never pruned.
            timed = subprocess.Popen(
                odlctl_command("--root", device.root, "start", "--packets", "--for", "60"),
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
            )  # not nohup'ed
            running = device.path(
                device.lines[device.wait_for(lambda line: "trcap -p 17" in line.text)].text.split()[
                    -1
                ]
            )
            out = device.odlctl("prune", "--keep", "0")[1]
            self.assertRegex(
                out,
                rf"^kept: {running} \(growing\)\nremoved: {new} \((\d+) bytes\)\nfreed \1 bytes\n$",
            )
            timed.send_signal(signal.SIGINT)
            self.assertEqual(
                (*timed.communicate(timeout=30), timed.returncode),
                (f"started: {running}\n{STOPPED}", "odlctl: SIGINT: stopping the capture now\n", 0),
            )
            device.wait_for(lambda line: line.text == "trcap -k -p 17")

            space, size = os.statvfs(sensors), sum(
                os.path.getsize(f"{running}/{name}") for name in os.listdir(running)
            )
            free, total, captures = re.search(
                r"\nfree space: (\d+) of (\d+) bytes\ncapture directories, newest first: "
                r"1 \((\d+) bytes\)\n",
                device.odlctl("status")[1],
            ).groups()
            self.assertEqual((int(total), int(captures)), (space.f_blocks * space.f_frsize, size))
            self.assertLess(abs(int(free) - space.f_bavail * space.f_frsize), int(total) / 100)

    def test_hostile_device(self):
        with Device() as device:
            os.chmod(device.root, 0o755)
            sensors, command, pipe = (
                device.path(SENSORS),
                device.path(COMMAND_FILE),
                device.path(FLUSH_PIPE),
            )
            # A start written before the daemon watches is not carried out, and no reason to refuse the next one.
            device.wait_for(lambda line: "in trcap_capture" in line.text)
            self.assertEqual(
                device.odlctl("--wait", "1", "start"),
                (1, "", "odlctl: no new capture directory appeared\n"),
            )
            device.wait_for(WATCHING)

            # Two starts at once: one starts, the other names the variant that runs; its stop ends it.
            both = [
                subprocess.Popen(
                    odlctl_command("--root", device.root, "start", *variant),
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    text=True,
                )
                for variant in ([], ["--packets"])
            ]
            (status, printed, _, last), (*_, refused, _) = sorted(
                (run.wait(60), *run.communicate(), run.args[-1]) for run in both
            )
            first, packets = (
                printed.removeprefix("started: ").strip(),
                " --packets" if last == "--packets" else "",
            )
            self.assertEqual(
                (status, refused),
                (
                    0,
                    f"odlctl: the last command was start{packets} already and {first} "
                    "grows: the daemon does nothing on a repeated command\n",
                ),
            )
            self.assertEqual(device.odlctl("stop", *packets.split()), (0, STOPPED, ""))

            second = device.odlctl("start")[1].removeprefix("started: ").strip()

            # What it cannot read or write is named, and nothing is concluded from it.
            os.chmod(second, 0o333)
            self.assertEqual(
                device.odlctl("stop", wrapper=OTHER),
                (
                    1,
                    "",
                    f"odlctl: stop written, but cannot read "
                    f"{second}: {DENIED}: whether the captures stopped is unknown\n",
                ),
            )
            self.assertEqual(
                device.odlctl("status", wrapper=OTHER)[::2], (1, UNREADABLE.format(second))
            )
            os.chmod(sensors, 0o333)
            self.assertEqual(
                device.odlctl("status", wrapper=OTHER)[::2], (1, UNREADABLE.format(sensors))
            )
            os.chmod(sensors, 0o777)

            os.chmod(device.path("/vendor/bin/trcap"), 0o644)
            status, _, error = device.odlctl("--wait", "9", "start")
            third = error.removeprefix("odlctl: ").split(" appeared")[0]
            self.assertEqual(
                (status, error),
                (
                    1,
                    f"odlctl: {third} appeared but stays empty: the capture tool writes "
                    "nothing into it\n",
                ),
            )
            os.chmod(first, 0o555)
            status, printed, error = device.odlctl("prune", "--keep", "0", wrapper=OTHER)
            self.assertEqual((status, printed), (1, f"removed: {third} (0 bytes)\nfreed 0 bytes\n"))
            self.assertRegex(
                error,
                rf"^odlctl: cannot read {second}: {DENIED}\nodlctl: cannot remove {first}/trcap_",
            )
            for directory in (first, second):
                os.chmod(directory, 0o777)

            # A link, a FIFO or a link to an endless device at the command file: refused at once, nothing written.
            os.rename(command, command + ".real")
            device.write("/log", b"log line\n" * 433)
            for target, args, refusal in [
                (device.path("/log"), "start", LINK),
                (None, "status", "is not a regular " "file: left alone"),
                ("/dev/zero", "stop", LINK),
            ]:
                os.symlink(target, command) if target else os.mkfifo(command)
                self.assertEqual(
                    device.odlctl(args)[::2],
                    (
                        1,
                        f"odlctl: command file {device.root}"
                        f"/data/vendor//sensors/file1 {refusal}\n",
                    ),
                    args,
                )
                os.unlink(command)
            self.assertEqual(os.path.getsize(device.path("/log")), 3897)
            os.chmod(pipe, 0o444)
            self.assertEqual(
                device.odlctl("flush", wrapper=OTHER),
                (
                    1,
                    "",
                    f"odlctl: flush pipe {pipe}: not permitted "
                    "(this user may not write into it), nothing written into it\n",
                ),
            )
            os.rename(pipe, pipe + ".served")
            os.symlink(pipe + ".served", pipe)
            self.assertEqual(
                device.odlctl("flush"),
                (
                    1,
                    "",
                    f"odlctl: flush pipe {pipe}: a symbolic link, not "
                    "followed, nothing written into it\n",
                ),
            )

    def test_odlctl_arguments(self):
        usage = odlctl("--help")[1].split("\n")[0] + "\n"
        for args in [
            "",
            "begin",
            "start stop",
            "flush --packets",
            "status --packets",
            "start --wait",
            "stop --wait -1",
            "stop --wait 5s",
            "status --root",
            "status -v",
            "start --for",
            "start --for 0",
            "start --for 1m",
            "stop --for 5",
            "--for 5",
            "prune",
            "prune --keep -1",
            "prune --keep two",
            "prune --dry-run",
            "status --keep 1",
            "start --dry-run",
            "prune --keep 1 --packets",
        ]:
            self.assertEqual(odlctl(*args.split()), (2, "", usage), args)


if __name__ == "__main__":
    unittest.main()
