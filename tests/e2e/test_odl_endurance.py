"""Hundreds of commands through the real daemon leave its open descriptors and
its resident memory where they were. Commands written during the daemon's
pauses coalesce: it reads the file afresh at its next wake-up."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING, proc_kb  # noqa: E402


def resident_kb(pid):
    return proc_kb(f"/proc/{pid}/status", "VmRSS")


def wait_until_quiet(device, quiet_seconds):
    """Waits until the daemon has logged nothing new for `quiet_seconds`,
    which outlasts its longest pause."""
    count, since = len(device.snapshot()), time.monotonic()
    while time.monotonic() - since < quiet_seconds:
        time.sleep(0.2)
        now = len(device.snapshot())
        if now != count:
            count, since = now, time.monotonic()


class Endurance(unittest.TestCase):
    def test_500_commands_leave_descriptors_and_memory_flat(self):
        with Device() as device:
            ready = device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            # One full start and stop first, so that one-time set-up (time
            # zone data, the shell) is not counted as growth.
            device.command("star\nx\n")
            started = device.wait_for(lambda l: l.tag == "trcap-sim", start=ready)
            after_start = device.wait_for(WATCHING, start=started)
            device.command("stop\nx\n")
            device.wait_for(lambda l: l.tag == "trcap-sim" and l.text == "trcap -k -p 16", start=after_start)
            wait_until_quiet(device, 6)

            fds_before = sorted(os.listdir(f"/proc/{pid}/fd"))
            rss_before = resident_kb(pid)
            wakeups_before = device.messages().count("handle_events: handle_event : IN_MODIFY")

            # The last command was a stop: repeated stops do nothing and need
            # no pause, so each is a wake-up of its own.
            for i in range(500):
                device.command(("stop\nx\n", "stop\nenable_HLOS_packets\n")[i % 2])
                time.sleep(0.002)
            wait_until_quiet(device, 1)
            wakeups = device.messages().count("handle_events: handle_event : IN_MODIFY") - wakeups_before
            self.assertGreater(wakeups, 50)
            # Alternating commands: those written during a pause coalesce.
            for i in range(500):
                device.command(("star\nx\n", "stop\nenable_HLOS_packets\n")[i % 2])
                time.sleep(0.005)
            wait_until_quiet(device, 6)

            self.assertEqual(sorted(os.listdir(f"/proc/{pid}/fd")), fds_before)
            rss_after = resident_kb(pid)
            # A sanitizer runtime holds freed memory in quarantine and shadow:
            # resident memory says something only in the plain build.
            if not os.environ.get("SENSORS_SANITIZE"):
                self.assertLessEqual(rss_after - rss_before, 256, f"VmRSS {rss_before} kB -> {rss_after} kB")


if __name__ == "__main__":
    unittest.main()
