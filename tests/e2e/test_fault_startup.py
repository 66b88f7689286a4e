"""Faults met at start-up on a simulated device: the sensors directory
missing or read-only, the diagnostic client never ready, and a property
store full of binary garbage and ten thousand lines."""
import errno
import os
import random
import re
import shutil
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device, WATCHING, FLUSH_PIPE, assert_alive  # noqa: E402

STARTING = "main: sensors daemon starting"
SENSORS = "/data/vendor/sensors"
COMMAND_FILE = "/data/vendor/sensors/file1"
TOOK = re.compile(r"^main: took (\d+) ms to complete diag init$")


def daemon_threads(device):
    """The daemon's messages, one list per thread, in the order logged."""
    threads = {}
    for line in device.snapshot():
        if line.tag == "sensors.lumo":
            threads.setdefault(line.tid, []).append(line.message)
    return threads






def garbage_property_store():
    """Ten thousand lines: binary garbage (zero bytes, carriage returns, bytes
    above 127, '=' anywhere), near misses of the daemon's keys, one line of
    100000 bytes, the wanted values overridden early and set for good late,
    and a last line without a line feed."""
    rng = random.Random(6)
    alphabet = bytes(b for b in range(256) if b != 0x0A)
    lines = [b"persist.vendor.sensors.debug.daemon=e", b"persist.vendor.sensors.diag_buffer_mode=false"]
    near_misses = [
        b"#persist.vendor.sensors.debug.daemon=0",
        b" persist.vendor.sensors.debug.daemon=0",
        b"persist.vendor.sensors.debug.daemon =0",
        b"persist.vendor.sensors.debug.daemon\x00=0",
        b"persist.vendor.sensors.diag_buffer_mode\r=false",
        b"PERSIST.VENDOR.SENSORS.DIAG_BUFFER_MODE=false",
        b"=persist.vendor.sensors.diag_buffer_mode=false",
        b"persist.vendor.sensors.debug.enable.aon_sensor=\xff\xfetrue",
        b"",
        b"=",
        b"\x00\x00\x00",
        b"\r",
    ]
    while len(lines) < 9990:
        if len(lines) == 5000:
            lines.append(b"x" * 50000 + b"=" + b"\xff" * 49999)
        elif rng.random() < 0.1:
            lines.append(rng.choice(near_misses))
        else:
            lines.append(bytes(rng.choice(alphabet) for _ in range(rng.randrange(0, 120))))
    # The last line for a key wins; a value past 91 bytes is cut, and only
    # its first five bytes count for the buffer mode.
    lines.append(b"persist.vendor.sensors.diag_buffer_mode=true" + b"\xee" * 300)
    lines.append(b"persist.vendor.sensors.debug.daemon=verbose\r")
    while len(lines) < 10000:
        lines.append(bytes(rng.choice(alphabet) for _ in range(rng.randrange(1, 120))))
    return b"\n".join(lines)


class StartupFaults(unittest.TestCase):
    def test_sensors_directory_missing_ends_the_flush_task_and_leaves_the_watch_unarmed(self):
        with Device() as device:
            device.wait_for(STARTING)
            pid = device.daemon_pid()
            # The daemon first touches the directory after the diagnostic
            # client's 6 s pause: removed now, it is missing from its point of view.
            shutil.rmtree(device.path(SENSORS))
            ready = device.wait_for(WATCHING, timeout=60)

            threads = daemon_threads(device)
            main_thread = device.snapshot()[0].tid
            self.assertEqual(len(threads), 3, threads)
            main_lines = threads.pop(main_thread)
            self.assertEqual(main_lines[:2], ["set_log_level: log_level set: 2", STARTING])
            self.assertRegex(main_lines[2], TOOK)
            self.assertEqual(len(main_lines), 3)
            self.assertCountEqual(threads.values(), [
                ["handle_diag_settings: try Diag_LSM_Init, count = 1",
                 "handle_diag_settings: Diag_LSM_Init is successful",
                 "diag_buffering_enabled: DIAG Buffering mode val: 0",
                 "handle_diag_settings: Setting SNS TX MODE to STREAMING",
                 "handle_diag_settings: Set SNS TX MODE success and return val: 1",
                 "wait_handle_flush: mkfifo error: 2"],
                ["trcap_capture:  in trcap_capture ",
                 "trcap_capture: fail to change permission on diag_odl_file, err = 2, No such file or directory",
                 WATCHING],
            ])
            for line in device.snapshot():
                if line.message in ("wait_handle_flush: mkfifo error: 2",
                                    "trcap_capture: fail to change permission on diag_odl_file, err = 2, "
                                    "No such file or directory"):
                    self.assertEqual(line.letter, "E")

            # The directory back, with a command file and a pipe of the host's:
            # nobody watches the file and nobody reads the pipe.
            os.makedirs(device.path(SENSORS))
            with open(device.path(COMMAND_FILE), "w") as out:
                out.write("stop\nx\n")
            device.command("star\nx\n")
            os.mkfifo(device.path(FLUSH_PIPE))
            with self.assertRaises(OSError) as raised:
                os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
            self.assertEqual(raised.exception.errno, errno.ENXIO)
            time.sleep(2.0)
            self.assertEqual(len(device.snapshot()), ready + 1, device.snapshot()[ready + 1:])
            assert_alive(self, device, pid)

    def test_read_only_sensors_directory_and_command_file_do_not_stop_the_root_daemon(self):
        with Device(files={COMMAND_FILE: b"stop\nx\n"}) as device:
            device.wait_for(STARTING)
            pid = device.daemon_pid()
            os.chmod(device.path(COMMAND_FILE), 0o444)
            os.chmod(device.path(SENSORS), 0o555)
            ready = device.wait_for(WATCHING, timeout=60)

            # The set-up emptied the read-only file and opened it to everyone.
            command_file = os.stat(device.path(COMMAND_FILE))
            self.assertEqual((command_file.st_size, command_file.st_mode & 0o777), (0, 0o777))
            self.assertTrue(stat.S_ISFIFO(os.stat(device.path(FLUSH_PIPE)).st_mode))
            messages = [line.message for line in device.snapshot()]
            self.assertFalse([m for m in messages if m.startswith(("wait_handle_flush:", "trcap_capture: fail"))],
                             messages)

            # A start creates its directory inside the read-only one.
            device.command("star\nx\n")
            launch = device.wait_for(lambda line: line.tag == "trcap-sim" and line.text.startswith("trcap -p 16 "),
                                     start=ready)
            directory = device.snapshot()[launch].text.split(" -o ")[1]
            self.assertTrue(os.path.isdir(device.path(directory)))
            after_start = device.wait_for(WATCHING, start=launch, timeout=30)
            device.command("stop\nx\n")
            device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16", start=after_start)
            device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=after_start)
            self.assertEqual(os.stat(device.path(SENSORS)).st_mode & 0o777, 0o555)
            assert_alive(self, device, pid)

    def test_diagnostic_client_never_ready_still_releases_main_and_serves_the_pipe(self):
        with Device(props=["sim.diag.init_failures=1000"]) as device:
            failed = device.wait_for("handle_diag_settings: Diag_LSM_Init failed!", timeout=60)
            self.assertEqual(device.snapshot()[failed].letter, "E")
            took = device.wait_for(lambda line: TOOK.match(line.message) is not None, timeout=60)
            # 25 attempts 200 ms apart, and main's wait ends well before its 11000 ms.
            self.assertGreaterEqual(int(TOOK.match(device.snapshot()[took].message)[1]), 5000)
            self.assertLess(int(TOOK.match(device.snapshot()[took].message)[1]), 11000)

            device.request_flush()
            read = device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=failed)
            drain3 = device.wait_for("diag_peripheral_buffering_drain_immediate(3) = 1", start=read)
            device.wait_for("diag_peripheral_buffering_drain_immediate(9) = 1", start=drain3)
            diag = [line.message for line in device.snapshot()
                    if line.tag == "diag-sim" or line.message.startswith(("handle_diag_settings:",
                                                                          "diag_buffering_enabled:",
                                                                          "wait_handle_flush:"))]
            expected = []
            for count in range(1, 26):
                expected += [f"handle_diag_settings: try Diag_LSM_Init, count = {count}", "Diag_LSM_Init(NULL) = 0"]
            self.assertEqual(diag, expected + [
                "handle_diag_settings: Diag_LSM_Init failed!",
                "wait_handle_flush: sns_diag_flush read len: 1",
                "diag_peripheral_buffering_drain_immediate(3) = 1",
                "diag_peripheral_buffering_drain_immediate(9) = 1",
            ])
            self.assertNotIn("main: diag is not initialized within 11000 ms", device.messages())

            # The command task still works, its stop's request included.
            ready = device.wait_for(WATCHING, timeout=60)
            device.command("stop\nx\n")
            device.wait_for(lambda line: line.tag == "trcap-sim" and line.text == "trcap -k -p 16", start=ready)
            device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=ready)
            assert_alive(self, device, device.daemon_pid())

    def test_garbage_and_ten_thousand_lines_in_the_property_store_leave_the_last_values_in_force(self):
        store = garbage_property_store()
        self.assertEqual(store.count(b"\n"), 9999)
        with Device(prop_file=store) as device:
            device.wait_for("handle_diag_settings:  written 7", timeout=60)
            launch = device.wait_for(lambda line: line.tag == "trcap-sim", timeout=30)
            device.wait_for(lambda line: TOOK.match(line.message) is not None, timeout=60)
            messages = device.messages(tag="sensors.lumo")
            # 'v' of "verbose\r" is the level: verbose, 4.
            self.assertEqual(messages[:2], ["set_log_level: log_level set: 4", STARTING])
            self.assertIn("handle_aont: aont disabled", messages)
            diag = [m for m in messages if m.startswith(("handle_diag_settings:", "diag_buffering_enabled:"))]
            self.assertEqual(diag, [
                "handle_diag_settings: try Diag_LSM_Init, count = 1",
                "handle_diag_settings: Diag_LSM_Init is successful",
                "diag_buffering_enabled: DIAG Buffering mode val: 1",
                "handle_diag_settings: Setting SNS TX MODE to CIRCULAR BUFF",
                "handle_diag_settings: Set SNS TX MODE success and return val: 1",
                "handle_diag_settings:  Diag.cfg present: starting trcap ",
                "handle_diag_settings:  after opening file ",
                "handle_diag_settings:  written 7",
            ])
            self.assertEqual(device.snapshot()[launch].text,
                             "trcap -p 16 -f /data/vendor/sensors/Diag.cfg -w /data/vendor/sensors "
                             "-o /data/vendor/sensors")
            with open(device.path("/data/property/host.prop"), "rb") as f:
                self.assertEqual(f.read(), store)
            assert_alive(self, device, device.daemon_pid())


if __name__ == "__main__":
    unittest.main()
