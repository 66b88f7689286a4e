"""The daemon starts on a simulated device and logs its first lines."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device  # noqa: E402


class Startup(unittest.TestCase):
    def test_first_lines_are_the_log_level_then_the_start(self):
        with Device() as device:
            device.wait_for("main: sensors daemon starting")
            lines = [line for line in device.snapshot() if line.tag == "sensors.lumo"]
            self.assertEqual(lines[0].message, "set_log_level: log_level set: 2")
            self.assertEqual(lines[0].letter, "I")
            self.assertEqual(lines[1].message, "main: sensors daemon starting")
            for line in lines[:2]:
                self.assertTrue(line.valid, line.raw)
                # One process; in the sandbox's pid namespace it has a small pid.
                self.assertEqual(line.pid, lines[0].pid)
                self.assertLess(line.pid, 10)


if __name__ == "__main__":
    unittest.main()
