"""Faults of the flush pipe on a simulated device: the pipe removed while the
daemon runs, and a regular file lying at the pipe's path when it starts."""
import os
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING, FLUSH_PIPE, assert_alive  # noqa: E402

UNABLE = "handle_events:  Unable to open the pipe : /data/vendor/sensors/sns_diag_flush"
NOT_A_FIFO = "wait_handle_flush: /data/vendor/sensors/sns_diag_flush is not a FIFO"








def settle(device, seconds):
    """Lets `seconds` pass while the daemon is expected to log nothing; the
    caller then checks that nothing came."""
    time.sleep(seconds)
    return device.snapshot()


class FlushPipeFaults(unittest.TestCase):
    def test_pipe_removed_while_running_ends_the_command_task_at_its_next_wake_up(self):
        with Device() as device:
            device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            # Two host writers open the pipe before it goes away.
            early = device.open_flush_writer()
            late = device.open_flush_writer()
            mark = len(device.snapshot())
            os.write(early, b"1")
            device.wait_for_drain(1, mark)

            os.unlink(device.path(FLUSH_PIPE))
            # The path is gone for every later writer.
            with self.assertRaises(FileNotFoundError):
                os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
            # The flush task keeps its descriptor: writers that still hold
            # the pipe are served.
            mark = len(device.snapshot())
            os.write(early, b"123")
            device.wait_for_drain(3, mark)
            os.close(early)

            # The next wake-up of the command watch cannot open the pipe by
            # its path: one error line, nothing of the command runs, the task ends.
            mark = len(device.snapshot())
            device.command("stop\nx\n")
            unable = device.wait_for(UNABLE, start=mark)
            self.assertEqual(device.snapshot()[unable].letter, "E")
            # Later commands wake nobody.
            device.command("star\nx\n")
            device.command("stop\nenable_HLOS_packets\n")
            lines = settle(device, 2.0)
            self.assertEqual([line.message for line in lines[mark:]], [UNABLE])
            self.assertEqual([line for line in lines if line.tag == "trcap-sim"], [])

            # The flush task still serves the writer that holds the pipe.
            mark = len(device.snapshot())
            os.write(late, b"22")
            device.wait_for_drain(2, mark)
            os.close(late)
            lines = settle(device, 0.5)
            self.assertEqual([line.message for line in lines[mark:]], [
                "wait_handle_flush: sns_diag_flush read len: 2",
                "diag_peripheral_buffering_drain_immediate(3) = 1",
                "diag_peripheral_buffering_drain_immediate(9) = 1",
            ])
            assert_alive(self, device, pid)

    def test_regular_file_at_the_pipe_path_ends_the_flush_task_and_is_never_written(self):
        content = b"not a pipe\n"
        with Device(files={FLUSH_PIPE: content}) as device:
            not_fifo = device.wait_for(NOT_A_FIFO, timeout=60)
            self.assertEqual(device.snapshot()[not_fifo].letter, "E")
            ready = device.wait_for(WATCHING, start=not_fifo, timeout=60)
            pid = device.daemon_pid()
            host_path = device.path(FLUSH_PIPE)
            self.assertTrue(stat.S_ISREG(os.stat(host_path).st_mode))
            with open(host_path, "rb") as f:
                self.assertEqual(f.read(), content)
            flush_lines = [line.message for line in device.snapshot() if line.message.startswith("wait_handle_flush:")]
            self.assertEqual(flush_lines, [NOT_A_FIFO])

            # A stop finds no FIFO to ask for a drain: the file keeps its
            # content, nothing drains, and the kill line runs as usual.
            device.command("stop\nx\n")
            kill = device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16", start=ready)
            device.wait_for(WATCHING, start=kill, timeout=30)
            with open(host_path, "rb") as f:
                self.assertEqual(f.read(), content)
            self.assertTrue(stat.S_ISREG(os.stat(host_path).st_mode))
            messages = [line.message for line in device.snapshot()]
            self.assertEqual([m for m in messages if m.startswith("wait_handle_flush:") or "drain" in m], [NOT_A_FIFO])
            self.assertEqual(messages[ready:], [
                WATCHING,
                "handle_events: handle_event : IN_MODIFY",
                "handle_events: Daig : Killing current ODL instance ",
                "trcap -k -p 16",
                WATCHING,
            ])
            assert_alive(self, device, pid)


if __name__ == "__main__":
    unittest.main()
