"""The capture tool missing, then failing, on a simulated device: the shell
reports the missing tool, the daemon goes on, and each command carried out
is recorded all the same, so a repeated command does nothing."""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING  # noqa: E402

SENSORS = "/data/vendor/sensors"
TOOL = "/vendor/bin/trcap"
NOT_FOUND = "sh: 1: /vendor/bin/trcap: not found"
STARTING = "handle_events: Daig : Diag.cfg present: starting trcap"
KILLING = "handle_events: Daig : Killing current ODL instance "
IN_MODIFY = "handle_events: handle_event : IN_MODIFY"
# Prints its arguments on standard error (the daemon's) and fails.
FAILING_TOOL = '#!/bin/sh\necho "trcap-failing: $*" >&2\nexit 1\n'


def capture_directories(device):
    return sorted(name for name in os.listdir(device.path(SENSORS)) if name.startswith("odl_sns_"))


class CaptureToolFaults(unittest.TestCase):
    def test_missing_then_failing_tool_leaves_the_daemon_serving_and_commands_recorded(self):
        with Device() as device:
            ready = device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            os.unlink(device.path(TOOL))

            # Missing: the launch line reaches the shell, which says so.
            device.command("star\nx\n")
            missing = device.wait_for(NOT_FOUND, start=ready)
            after_start = device.wait_for(WATCHING, start=ready + 1, timeout=30)
            self.assertEqual([line.message for line in device.snapshot()[ready:after_start + 1]
                              if line.tag == "sensors.lumo"], [WATCHING, IN_MODIFY, STARTING, WATCHING])
            self.assertFalse(device.snapshot()[missing].valid)
            directories = capture_directories(device)
            self.assertEqual(len(directories), 1)
            self.assertEqual(os.listdir(device.path(f"{SENSORS}/{directories[0]}")), [])

            # The start was recorded: a second one logs its first line only.
            device.command("star\nenable_HLOS_packets\n")
            again = device.wait_for(STARTING, start=after_start)
            repeated = device.wait_for(WATCHING, start=again)
            self.assertEqual([line.message for line in device.snapshot()[after_start + 1:repeated + 1]],
                             [IN_MODIFY, STARTING, WATCHING])
            self.assertEqual(capture_directories(device), directories)

            # Failing: the tool runs and exits 1; nobody looks.
            with open(device.path(TOOL), "w") as out:
                out.write(FAILING_TOOL)
            os.chmod(device.path(TOOL), 0o755)
            device.command("stop\nx\n")
            kill = device.wait_for("trcap-failing: -k -p 16", start=repeated)
            device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=repeated)
            after_stop = device.wait_for(WATCHING, start=kill, timeout=30)
            self.assertEqual([line.message for line in device.snapshot()[repeated + 1:after_stop + 1]
                              if line.tag == "sensors.lumo" and not line.message.startswith("wait_handle_flush:")],
                             [IN_MODIFY, KILLING, WATCHING])

            # The stop was recorded: a second one does nothing.
            device.command("stop\nenable_HLOS_packets\n")
            repeated = device.wait_for(WATCHING, start=after_stop + 1)
            self.assertEqual([line.message for line in device.snapshot()[after_stop + 1:repeated + 1]],
                             [IN_MODIFY, WATCHING])

            # A start launches the failing tool into a new directory.
            device.command("star\nx\n")
            launch = device.wait_for(lambda line: line.text.startswith("trcap-failing: -p 16 "), start=repeated)
            device.wait_for(WATCHING, start=repeated + 1, timeout=30)
            match = re.fullmatch(r"trcap-failing: -p 16 -f /data/vendor/sensors/Diag.cfg -w (\S+) -o (\S+)",
                                 device.snapshot()[launch].text)
            self.assertIsNotNone(match, device.snapshot()[launch].text)
            self.assertEqual(match[1], match[2])
            self.assertEqual(len(capture_directories(device)), 2)
            self.assertIn(match[1].rsplit("/", 1)[1], capture_directories(device))

            # Only the shell's one complaint, and the daemon lives.
            self.assertEqual([line.raw for line in device.snapshot() if not line.valid],
                             [NOT_FOUND, "trcap-failing: -k -p 16", device.snapshot()[launch].raw])
            self.assertIsNone(device.process.poll())
            with open(f"/proc/{pid}/stat") as f:
                self.assertIn(f.read().rsplit(")", 1)[1].split()[0], ("S", "R"))


if __name__ == "__main__":
    unittest.main()
