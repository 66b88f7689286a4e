"""On-device logging controlled from the host through the command file, on a
simulated device: starts create a capture directory that the simulated
capture tool fills, stops drain the diagnostic buffers and kill the capture."""
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING  # noqa: E402

SENSORS = "/data/vendor/sensors"


def trcap(line):
    return line.tag == "trcap-sim" and line.text.startswith("trcap ")


class OnDeviceLogging(unittest.TestCase):
    def run_start_then_stop(self, processor, option, launch_heads, kill_lines):
        with Device(remoteprocs=[processor]) as device:
            ready = device.wait_for(WATCHING, timeout=60)

            device.command(f"star\n{option}\n")
            first = device.wait_for(trcap, start=ready)
            launch = device.snapshot()[first].text
            match = re.fullmatch(r"trcap (.*) -w (\S+) -o (\S+)", launch)
            self.assertIsNotNone(match, launch)
            directory = match[2]
            self.assertEqual(match[3], directory)
            self.assertRegex(directory, r"^/data/vendor/sensors/odl_sns_\d{4}(_\d\d){5}$")
            launches = [first]
            for _ in launch_heads[1:]:
                launches.append(device.wait_for(trcap, start=launches[-1] + 1))
            # Each launch runs in the background: their trace lines may come in either order.
            self.assertCountEqual([device.snapshot()[i].text for i in launches],
                                  [f"trcap {head} -w {directory} -o {directory}" for head in launch_heads])
            # The capture instances fill the directory with simulated data.
            host_dir = device.path(directory)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and len(os.listdir(host_dir)) < len(launch_heads):
                time.sleep(0.1)
            self.assertGreaterEqual(len(os.listdir(host_dir)), len(launch_heads))

            after_start = device.wait_for(WATCHING, start=launches[-1])
            device.command(f"stop\n{option}\n")
            drain3 = device.wait_for("diag_peripheral_buffering_drain_immediate(3) = 1", start=after_start)
            device.wait_for("diag_peripheral_buffering_drain_immediate(9) = 1", start=drain3)
            device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=after_start)
            kills = [device.wait_for(trcap, start=after_start)]
            for _ in kill_lines[1:]:
                kills.append(device.wait_for(trcap, start=kills[-1] + 1))
            self.assertEqual([device.snapshot()[i].text for i in kills], [f"trcap {k}" for k in kill_lines])
            for head in launch_heads:
                device.wait_for(lambda line: line.tag == "trcap-sim" and line.text.startswith("ended capture")
                                and f"({head.split(' -f')[0]})" in line.text, start=kills[0])

            # Nothing else ran: one start, one stop.
            invocations = [line.text for line in device.snapshot() if trcap(line)]
            self.assertEqual(len(invocations), len(launch_heads) + len(kill_lines))

    def test_vela_device_with_packets(self):
        self.run_start_then_stop(
            "vela", "enable_HLOS_packets",
            ["-p 17 -f /data/vendor/sensors/Diag.cfg"], ["-k -p 17"])

    def test_kora_device_without_packets(self):
        self.run_start_then_stop(
            "kora", "default",
            ["-g 16384 -f /data/vendor/sensors/Diag.cfg", "-p 4 -f /data/vendor/sensors/Diag.cfg"],
            ["-k -p 4", "-k -g 16384"])


if __name__ == "__main__":
    unittest.main()
