"""Signals and load on a simulated device: the daemon stopped and continued,
showered with signals whose default action is to ignore them, and fifty
writers hammering the flush pipe at once. Nothing written is lost, and the
daemon sleeps again afterwards."""
import os
import re
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING, FLUSH_PIPE  # noqa: E402

READ_LEN = re.compile(r"^wait_handle_flush: sns_diag_flush read len: (-?\d+)$")
WRITERS = 50
ROUNDS = 20




def read_lengths(lines):
    return [int(match[1]) for match in (READ_LEN.match(line.message) for line in lines) if match]


def wait_for_bytes(device, start, total, timeout=120.0):
    """Waits until the reads logged from `start` on add up to `total` bytes;
    returns the lines from `start` on."""
    deadline = time.monotonic() + timeout
    while True:
        lines = device.snapshot()[start:]
        if sum(read_lengths(lines)) >= total or time.monotonic() > deadline:
            return lines
        time.sleep(0.1)




def process_state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def cpu_ticks(pid):
    """User plus system time of the whole process, all threads, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def wait_for_state(pid, states, timeout=10.0):
    deadline = time.monotonic() + timeout
    while process_state(pid) not in states:
        if time.monotonic() > deadline:
            raise AssertionError(f"daemon state {process_state(pid)}, wanted one of {states}")
        time.sleep(0.01)


def hammer(device, payload_of):
    """Fifty host threads released at once, each opening the pipe, writing,
    closing, ROUNDS times; returns the number of bytes written."""
    barrier = threading.Barrier(WRITERS)
    written = [0] * WRITERS
    errors = []

    def writer(index):
        try:
            barrier.wait()
            for round_ in range(ROUNDS):
                # Opened without blocking (it fails at once if the daemon no
                # longer reads), then written blocking, waiting when the pipe is full.
                fd = os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
                try:
                    os.set_blocking(fd, True)
                    data = payload_of(index, round_)
                    # Writes of at most PIPE_BUF bytes are never split.
                    written[index] += os.write(fd, data)
                finally:
                    os.close(fd)
        except Exception as error:  # reported below, in the test's thread
            errors.append(error)

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(WRITERS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    if errors:
        raise errors[0]
    return sum(written)


class FlushLoadFaults(unittest.TestCase):
    def test_stop_continue_ignored_signals_and_fifty_writers_lose_nothing_and_leave_no_spin(self):
        with Device() as device:
            ready = device.wait_for(WATCHING, timeout=60)
            pid = device.daemon_pid()
            writer = device.open_flush_writer()
            try:
                os.write(writer, b"1")
                device.wait_for_drain(1, ready)

                # Stopped: a flush request and a command written meanwhile wait
                # in the pipe and the watch, and are served after SIGCONT.
                os.kill(pid, signal.SIGSTOP)
                wait_for_state(pid, ("T",))
                mark = len(device.snapshot())
                os.write(writer, b"12345")
                device.command("stop\nx\n")
                time.sleep(1.0)
                self.assertEqual(device.snapshot()[mark:], [])
                os.kill(pid, signal.SIGCONT)
                kill = device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16",
                                       start=mark, timeout=30)
                # The host's 5 bytes and the stop's 1 may be read together or apart.
                lines = wait_for_bytes(device, mark, 6)
                self.assertEqual(sum(read_lengths(lines)), 6)

                # Signals whose default action is to ignore them, during the
                # stop's pause and while the tasks sleep in poll.
                for _ in range(100):
                    for number in (signal.SIGCHLD, signal.SIGWINCH, signal.SIGURG, signal.SIGCONT):
                        os.kill(pid, number)
                after_stop = device.wait_for(WATCHING, start=kill, timeout=30)
                for _ in range(100):
                    for number in (signal.SIGCHLD, signal.SIGWINCH, signal.SIGURG, signal.SIGCONT):
                        os.kill(pid, number)
                self.assertIn(process_state(pid), ("S", "R"))
                # Both tasks still serve: a start, then a flush request.
                device.command("star\nx\n")
                launch = device.wait_for(lambda line: line.tag == "trcap-sim" and line.text.startswith("trcap -p 16 "),
                                         start=after_stop, timeout=30)
                after_start = device.wait_for(WATCHING, start=launch, timeout=30)
                mark = len(device.snapshot())
                os.write(writer, b"7")
                device.wait_for_drain(1, mark)
            finally:
                os.close(writer)

            # Fifty writers at once, 1 to 23 bytes per write, and a stop in the
            # middle that adds its own byte; every byte is read, each read is
            # followed by one drain pair.
            mark = len(device.snapshot())
            stopper = threading.Timer(0.05, device.command, args=("stop\nx\n",))
            stopper.start()
            total = hammer(device, lambda index, round_: bytes([65 + index % 26]) * (1 + (index * 7 + round_) % 23))
            stopper.join()
            device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16",
                            start=after_start, timeout=60)
            lines = wait_for_bytes(device, mark, total + 1)
            lengths = read_lengths(lines)
            self.assertEqual(sum(lengths), total + 1)
            self.assertTrue(all(1 <= n <= 10 for n in lengths), sorted(set(lengths)))
            device.wait_for(WATCHING, start=mark, timeout=30)

            # Idle: nothing is logged and the daemon burns no CPU (a loop on a
            # hung-up pipe would take a whole core).
            busy_until = time.monotonic() + 60
            while True:
                before = cpu_ticks(pid)
                count = len(device.snapshot())
                time.sleep(3.0)
                used, quiet = cpu_ticks(pid) - before, len(device.snapshot()) == count
                # The drains of the last reads and the stop's pause may still
                # be running when the idle measure first starts.
                if (used <= 15 and quiet) or time.monotonic() > busy_until:
                    break
            self.assertTrue(quiet, device.snapshot()[count:])
            self.assertLessEqual(used, 15, f"{used} ticks of CPU in 3 s of idleness")

            messages = [line.message for line in device.snapshot()[mark:]]
            drains3 = messages.count("diag_peripheral_buffering_drain_immediate(3) = 1")
            drains9 = messages.count("diag_peripheral_buffering_drain_immediate(9) = 1")
            self.assertEqual((drains3, drains9), (len(lengths), len(lengths)))
            self.assertNotIn("wait_handle_flush: diag_peripheral_buffering_drain_immediate error", messages)
            self.assertIn(process_state(pid), ("S", "R"))
            self.assertIsNone(device.process.poll())


if __name__ == "__main__":
    unittest.main()
