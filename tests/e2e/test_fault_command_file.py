"""Faults of the on-device-logging command file on a simulated device: made
read-only, deleted, and replaced by a rename. A watch follows the file, not
its path: once the file is gone, nothing written at the path is acted upon,
while the flush pipe keeps working."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING, assert_alive  # noqa: E402

COMMAND_FILE = "/data/vendor/sensors/file1"
FAILED_TO_OPEN = "get_odl_commands:  Failed to open /data/vendor//sensors/file1 "




def assert_flush_served(test, device):
    mark = len(device.snapshot())
    device.request_flush()
    device.wait_for_drain(1, mark)




def write_new_file(path, text):
    with open(path, "w") as out:
        out.write(text)


class CommandFileFaults(unittest.TestCase):
    def test_read_only_file_is_still_read_and_deleting_it_ends_the_watch(self):
        with Device() as device:
            ready = device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            host_file = device.path(COMMAND_FILE)
            os.chmod(host_file, 0o444)

            # The host (root) writes over the read-only file; the daemon reads it.
            device.command("stop\nx\n")
            kill = device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16", start=ready)
            device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=ready)
            after_stop = device.wait_for(WATCHING, start=kill, timeout=30)
            self.assertEqual(os.stat(host_file).st_mode & 0o777, 0o444)
            messages = [line.message for line in device.snapshot()[ready + 1:after_stop + 1]
                        if line.tag == "sensors.lumo" and not line.message.startswith("wait_handle_flush:")]
            self.assertEqual(messages, [
                "handle_events: handle_event : IN_MODIFY",
                "handle_events: Daig : Killing current ODL instance ",
                WATCHING,
            ])

            # Deleting the file ends its watch: one wake-up that finds no file.
            os.unlink(host_file)
            failed = device.wait_for(FAILED_TO_OPEN, start=after_stop)
            self.assertEqual(device.snapshot()[failed].letter, "E")
            device.wait_for(WATCHING, start=failed)

            # A new file at the same path is not watched.
            write_new_file(host_file, "star\nx\n")
            device.command("stop\nenable_HLOS_packets\n")
            time.sleep(2.0)
            lines = device.snapshot()
            self.assertEqual([line.message for line in lines[after_stop + 1:]], [FAILED_TO_OPEN, WATCHING])
            self.assertEqual(len([line for line in lines if line.tag == "trcap-sim"]), 1)
            self.assertEqual([name for name in os.listdir(device.path("/data/vendor/sensors"))
                              if name.startswith("odl_sns_")], [])

            assert_flush_served(self, device)
            assert_alive(self, device, pid)

    def test_file_replaced_by_a_rename_is_read_once_and_no_longer_watched(self):
        # Debug level: the command lines read at each wake-up are logged.
        with Device(props=["persist.vendor.sensors.debug.daemon=d"]) as device:
            ready = device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            host_file = device.path(COMMAND_FILE)
            replacement = host_file + ".new"
            write_new_file(replacement, "stop\nx\n")
            os.rename(replacement, host_file)

            # The old file's watch goes with it: one wake-up without a
            # modification record reads the new file and runs nothing.
            woke = device.wait_for("get_odl_commands:  line(command): stop ", start=ready)
            after = device.wait_for(WATCHING, start=woke)
            self.assertEqual([line.message for line in device.snapshot()[ready + 1:after + 1]], [
                "get_odl_commands:  line(command): stop ",
                "get_odl_commands:  line(command): x ",
                WATCHING,
            ])

            # Writes into the new file wake nothing.
            device.command("star\nx\n")
            device.command("stop\nenable_HLOS_packets\n")
            time.sleep(2.0)
            self.assertEqual(len(device.snapshot()), after + 1, device.snapshot()[after + 1:])
            self.assertEqual([line for line in device.snapshot() if line.tag == "trcap-sim"], [])

            assert_flush_served(self, device)
            assert_alive(self, device, pid)


if __name__ == "__main__":
    unittest.main()
