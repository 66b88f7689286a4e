"""End-to-end roads: the real daemon on simulated devices, each road one whole
story checked line by line and thread by thread, its pauses measured from the
lines' time stamps."""
import concurrent.futures
import errno
import os
import random
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import COMMAND_FILE, FLUSH_PIPE, SENSORS, WATCHING, Device, inherited  # noqa: E402

CFG = "-f /data/vendor/sensors/Diag.cfg"
W = "I " + WATCHING
ODL = "trcap_capture:  in trcap_capture "
DIAG = "handle_diag_settings: try Diag_LSM_Init, count = 1"
IN_MODIFY = "I handle_events: handle_event : IN_MODIFY"
STARTING = "I handle_events: Daig : Diag.cfg present: starting trcap"
KILLING = "I handle_events: Daig : Killing current ODL instance "
UNABLE = "E handle_events:  Unable to open the pipe : /data/vendor/sensors/sns_diag_flush"
READ_LEN = "wait_handle_flush: sns_diag_flush read len: "
SENDING = "D send_request: sending on change config request for aont"
# An sns_client_event_msg made by hand, events (2) of msg_id (1, fixed32), timestamp (2, fixed64), payload (3):
# 1024 at 7 with 4 samples, 0x80000000 at 2^64 - 1 without payload, 1024 at 5 with a payload that does not decode.
INDICATION = (
    "12220d00040000110700000000000000"
    "1a120a10" + "00" * 16 + "120e0d0000008011ffffffffffffffff"
    "12110d000400001105000000000000001a01ff"
)


def diag_lines(mode, result9=1):
    ok = result9 == 1
    return [
        f"I {DIAG}",
        "I Diag_LSM_Init(NULL) = 1",
        "I handle_diag_settings: Diag_LSM_Init is successful",
        f"I diag_buffering_enabled: DIAG Buffering mode val: {mode // 2}",
        f"I handle_diag_settings: Setting SNS TX MODE to {['STREAMING', 'CIRCULAR BUFF'][mode // 2]}",
        f"I diag_configure_peripheral_buffering_tx_mode(3, {mode}, 20, 70) = 1",
        f"I diag_configure_peripheral_buffering_tx_mode(9, {mode}, 20, 70) = {result9}",
        f"{'IE'[not ok]} handle_diag_settings: Set SNS TX MODE {['failed', 'success'][ok]} "
        f"and return val: {result9}",
    ]


def drained(length):
    return [
        f"I {READ_LEN}{length}",
        "I diag_peripheral_buffering_drain_immediate(3) = 1",
        "I diag_peripheral_buffering_drain_immediate(9) = 1",
    ]


def trcap(device, start=0):
    return [
        line.text
        for line in device.snapshot()[start:]
        if line.tag == "trcap-sim" and line.text.startswith("trcap ")
    ]


def gap(device, first, then, start=0):
    """Seconds from the line `first` (from `start` on) to the next line `then`."""
    at = device.wait_for(first, start)
    return device.lines[device.wait_for(then, at)].stamp - device.lines[at].stamp


def command(device, text):
    """Writes a command; returns the index of the line that shows the daemon watching again."""
    mark = len(device.snapshot())
    device.command(text)
    return device.wait_for(WATCHING, mark)


def until(condition, what):
    deadline = time.monotonic() + 30
    while not condition():
        assert time.monotonic() < deadline, f"waited 30 s for {what}"
        time.sleep(0.05)


def read_lengths(device, start):
    return [
        int(line.message[len(READ_LEN) :])
        for line in device.snapshot()[start:]
        if line.message.startswith(READ_LEN)
    ]


def writer(device):
    """A writer of the flush pipe, opened without blocking as soon as something reads it (30 s at most)."""
    deadline = time.monotonic() + 30
    while True:
        try:
            fd = os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
            os.set_blocking(fd, True)
            return fd
        except OSError as error:  # ENXIO: nothing reads it yet
            if error.errno != errno.ENXIO or time.monotonic() > deadline:
                raise AssertionError(
                    f"no writer of the flush pipe opened in 30 s: {error}"
                ) from error
        time.sleep(0.01)


def flush(device, data):
    """Opens the flush pipe, writes `data` and closes it, as any writer does; returns the bytes written."""
    fd = writer(device)
    written = os.write(fd, data)
    os.close(fd)
    return written


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))


def garbage_properties():
    """Binary garbage, near misses of the daemon's keys and a 100000-byte line;
    the last line for a key wins, its value cut to 91 bytes."""
    return b"\n".join(
        [
            b"persist.vendor.sensors.debug.daemon=e",
            random.Random(6).randbytes(300000),
            b"#persist.vendor.sensors.debug.daemon=e",
            b"persist.vendor.sensors.debug.daemon =e",
            b"PERSIST.VENDOR.SENSORS.DIAG_BUFFER_MODE=true",
            b"x" * 50000 + b"=" + b"\xff" * 49999,
            b"persist.vendor.sensors.debug.daemon=d\r",
            b"persist.vendor.sensors.diag_buffer_mode=falsey" + b"\xee" * 300,
        ]
    )


class Roads(unittest.TestCase):
    maxDiff = None  # a failing road shows its whole transcript diff

    def assert_thread(self, device, message, expected):
        self.assertEqual(device.thread(message, len(expected)), expected)

    def assert_started(self, device, level):
        """The main thread's lines, main's wait, and the command file emptied and opened to everyone."""
        device.wait_for(WATCHING, timeout=60)
        main = device.thread("main: sensors daemon starting")
        self.assertEqual(
            main[:2],
            [f"I set_log_level: log_level set: {level}", "I main: sensors daemon starting"],
        )
        self.assertEqual(len(main), 3, main)
        took = re.fullmatch(r"I main: took (\d+) ms to complete diag init", main[-1])
        self.assertIsNotNone(took, main)
        self.assertGreaterEqual(int(took[1]), 5500)  # from main's own start
        self.assertLess(int(took[1]), 9000)
        self.assertGreater(device.wait_for(ODL), device.wait_for(main[-1][2:]))
        self.assertGreaterEqual(gap(device, ODL, WATCHING), 2.0)
        stat = os.stat(device.path(COMMAND_FILE))
        self.assertEqual(stat.st_size, 0)
        self.assertEqual(stat.st_mode & 0o777, 0o777)

    def test_boot_kora(self):
        with Device(
            props=["persist.vendor.sensors.diag_buffer_mode=true"], remoteprocs=["kora"]
        ) as device:
            self.assert_started(device, 2)
            boot = f"{CFG} -w {SENSORS} -o {SENSORS}"
            self.assertEqual(
                sorted(trcap(device)), [f"trcap -g 16384 {boot}", f"trcap -p 4 {boot}"]
            )
            self.assertGreaterEqual(
                gap(
                    device,
                    "handle_diag_settings: Diag_LSM_Init is successful",
                    "diag_buffering_enabled: DIAG Buffering mode val: 1",
                ),
                6.0,
            )
            self.assertEqual(os.stat(device.path(FLUSH_PIPE)).st_mode, 0o10666)

            # Controlled with odlctl: start, a repeated start refused, stop, status; then the daemon killed.
            ready = len(device.snapshot())
            status, printed, _ = device.odlctl("start", "--packets")
            directory = printed.strip().removeprefix(f"started: {device.root}")
            self.assertEqual((status, printed), (0, f"started: {device.path(directory)}\n"))
            started = device.wait_for(WATCHING, ready)
            self.assertEqual(
                sorted(trcap(device, ready)),
                [
                    f"trcap {group} {CFG} -w {directory} -o {directory}"
                    for group in ("-g 16384", "-p 5")
                ],
            )
            # The running capture tools hold none of the daemon's descriptors but the inotify one, which the
            # command's shell inherits as the daemon makes it; the boot captures came before it.
            tools = device.processes("/vendor/bin/trcap")
            self.assertEqual(len(tools), 4)
            for pid in tools:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    commanded = directory.encode() in cmdline.read()
                self.assertEqual(inherited(pid), ["anon_inode:inotify"] if commanded else [], pid)
            self.assertEqual(
                device.odlctl("start", "--packets"),
                (
                    1,
                    "",
                    "odlctl: the last command was start "
                    f"--packets already and {device.path(directory)} grows: the daemon does nothing on a "
                    "repeated command\n",
                ),
            )
            self.assertEqual(
                device.odlctl("stop", "--packets"), (0, "stopped: no capture directory grows\n", "")
            )
            device.wait_for(WATCHING, started)
            self.assertEqual(trcap(device, started), ["trcap -k -p 5", "trcap -k -g 16384"])
            self.assert_thread(
                device,
                DIAG,
                diag_lines(2)
                + [
                    "I handle_diag_settings:  Diag.cfg present: starting trcap ",
                    "I handle_diag_settings:  after opening file ",
                    "I handle_diag_settings:  written 7",
                ]
                + drained(1),
            )
            self.assert_thread(
                device, WATCHING, [f"I {ODL}", W, IN_MODIFY, STARTING, W, IN_MODIFY, KILLING, W]
            )
            pipe = device.path(FLUSH_PIPE)
            self.assertRegex(
                device.odlctl("status")[1],
                rf"flush pipe {pipe}: served\nlast command: stop --packets\n"
                r"free space: \d+ of \d+ bytes\ncapture directories, newest first: 1 \(\d+ bytes\)\n"
                rf"  {device.path(directory)}  \d+ bytes  \d+ files"
                r"  newest \d+ s old  not growing\n$",
            )
            os.kill(device.daemon_pid(), signal.SIGKILL)
            device.process.wait(10)  # the sandbox ends with the daemon
            self.assertEqual(
                device.odlctl("flush"),
                (
                    1,
                    "",
                    f"odlctl: flush pipe {pipe}: "
                    "not served (nothing reads it), is the daemon running?\n",
                ),
            )

    def test_streaming_vela(self):
        files = {FLUSH_PIPE: None, COMMAND_FILE: b"stop\nx\n"}
        props = [
            "sim.diag.tx_mode_result.9=2",
            "persist.vendor.sensors.debug.enable.aon_sensor=tru",
        ]
        with Device(
            props=props, remoteprocs=["vela"], files=files, prop_file=garbage_properties()
        ) as device:
            self.assert_started(device, 3)
            self.assert_thread(
                device, "handle_aont: aont disabled", ["D handle_aont: aont disabled"]
            )
            self.assertEqual(os.stat(device.path(FLUSH_PIPE)).st_mode, 0o10600)
            for text in (
                "star\nx\n",
                "star\nx\n",
                "\nstop\n\nx\n",
                "stop\nenable_HLOS_packets\n",
                "start\nenable_HLOS_packets\n",
                "star\nenable_HLOS_packets\n",
            ):
                command(device, text)
            # A file renamed over the command file ends the watch: one wake-up reads it, later writes wake nothing.
            mark = len(device.snapshot())
            device.write(COMMAND_FILE + ".new", b"stop\nx\n")
            os.rename(device.path(COMMAND_FILE + ".new"), device.path(COMMAND_FILE))
            device.wait_for(WATCHING, mark)
            device.command("star\nx\n")
            time.sleep(1)

            def read(*lines):
                return [f"D get_odl_commands:  line(command): {line} " for line in lines]

            self.assert_thread(
                device,
                WATCHING,
                [
                    f"I {ODL}",
                    W,
                    *read("star", "x"),
                    IN_MODIFY,
                    STARTING,
                    W,
                    *read("star", "x"),
                    IN_MODIFY,
                    STARTING,
                    W,
                    *read("", "stop", "", "x"),
                    IN_MODIFY,
                    KILLING,
                    W,
                    *read("stop", "enable_HLOS_packets"),
                    IN_MODIFY,
                    W,
                    *read("start", "enable_HLOS_packets"),
                    IN_MODIFY,
                    W,
                    *read("star", "enable_HLOS_packets", ""),
                    IN_MODIFY,
                    STARTING,
                    W,
                    *read("stop", "x"),
                    W,
                ],
            )
            self.assert_thread(device, DIAG, diag_lines(0, result9=2) + drained(1))

    def test_never_ready(self):
        props = [
            "persist.vendor.sensors.debug.daemon=e",
            "sim.diag.init_failures=25",
            "sim.diag.init_delay_ms=440",
            "sim.diag.drain_result.3=2",
        ]
        with Device(props=props, options=["--no-remoteproc"]) as device:
            waited = gap(
                device,
                "set_log_level: log_level set: 1",
                "main: diag is not initialized within 11000 ms",
            )
            self.assertGreaterEqual(waited, 11.0)
            self.assertLess(waited, 12.5)
            until(
                lambda: os.path.exists(device.path(FLUSH_PIPE)),
                "the flush pipe, made once the client is given up",
            )
            flush(device, b"1")
            failed = "handle_diag_settings: Diag_LSM_Init failed!"
            self.assert_thread(
                device,
                failed,
                ["I Diag_LSM_Init(NULL) = 0"] * 25
                + [
                    f"E {failed}",
                    "I diag_peripheral_buffering_drain_immediate(3) = 2",
                    "E wait_handle_flush: diag_peripheral_buffering_drain_immediate error",
                ],
            )
            attempts = [
                line.stamp for line in device.snapshot() if line.text == "Diag_LSM_Init(NULL) = 0"
            ]
            self.assertGreaterEqual(min(b - a for a, b in zip(attempts, attempts[1:])), 0.63)

    def test_aont(self):
        props = [
            "persist.vendor.sensors.debug.daemon=v",
            "persist.vendor.sensors.debug.enable.aon_sensor=true1",
            "sim.hub.aont_suids=1:2,3:4,5:6",
            "sim.hub.create_fail=2",
            "sim.hub.sample_period_ms=100",
            "sim.hub.indication_hex=" + INDICATION,
        ]
        with Device(props=props) as device:
            device.wait_for("main: sensors daemon starting")
            # Taken away before the daemon first uses it, after the diagnostic client's 6 s pause.
            os.rename(device.path(SENSORS), device.path(SENSORS + ".away"))
            self.assert_thread(
                device,
                "handle_aont: sending enable aont request",
                [
                    "I handle_aont: sending enable aont request",
                    "I enable: enable aont",
                    "I suid_lookup.request_suid(aont, false)",
                    "I handle_aont: sent enable aont request",
                ],
            )

            def enabled(number, low, high, suid):
                client = f"I orb_interface#{number}"
                return [
                    f"D suid_cbk: aont suid_low: {low} suid_high: {high}",
                    SENDING,
                    f"I orb_interface.create(0) = #{number}",
                    f"{client}.register_callbacks({suid})",
                    f"{client}.send_client_request({suid}, 1, msg_id=514 suid={suid} suspend=0/1 request=present "
                    "payload=absent bytes=33)",
                ]

            self.assert_thread(
                device,
                "suid_cbk: received response for aont suids.size() 3",
                [
                    "I suid_lookup.answer(aont, 3)",
                    "D suid_cbk: received response for aont suids.size() 3",
                    *enabled(1, 1, 2, "1:2"),
                    "D suid_cbk: aont suid_low: 3 suid_high: 4",
                    SENDING,
                    "I orb_interface.create(0) = null",
                    "I orb_interface#1.destroyed",
                    "E send_request:  failed to create orb_interface with ORB_KVX",
                    *enabled(3, 5, 6, "5:6"),
                ],
            )
            self.assertEqual(
                device.thread("orb_interface#3.indication(bytes=71)", 8)[:7],
                [
                    "I orb_interface#3.indication(bytes=71)",
                    "D handle_aont_event: Received indication with length 71",
                    "D handle_aont_event: event[0] msg_id=1024, ts=7",
                    "V handle_aont_event: Received sample size 4",
                    "D handle_aont_event: event[1] msg_id=-2147483648, ts=18446744073709551615",
                    "D handle_aont_event: event[2] msg_id=1024, ts=5",
                    "V handle_aont_event: Received sample size 0",
                ],
            )

            device.wait_for(WATCHING, timeout=60)
            self.assert_thread(
                device, DIAG, diag_lines(0) + ["E wait_handle_flush: mkfifo error: 2"]
            )
            self.assert_thread(
                device,
                WATCHING,
                [
                    f"I {ODL}",
                    "E trcap_capture: fail to change permission on "
                    "diag_odl_file, err = 2, No such file or directory",
                    W,
                ],
            )

    def test_flush_load(self):
        # AddressSanitizer hands freed memory out again at once, as the plain allocator does, so that resident
        # memory tells a leak.
        reuse = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
        props = ["persist.vendor.sensors.diag_buffer_mode=fals"]
        with Device(props=props, options=["--no-diag-cfg"], environment=reuse) as device:
            self.assert_started(device, 2)
            command(device, "star\nx\n")
            pid, mark = device.daemon_pid(), len(device.snapshot())

            # Stopped: twenty writers at once, ten rounds each, and a stop. Continued: every byte is read, at most
            # ten a read, each read drained, the stop carried out; signals ignored by default change nothing.
            os.kill(pid, signal.SIGSTOP)
            until(
                lambda: {
                    open(f"/proc/{pid}/task/{task}/stat").read().rsplit(")", 1)[1].split()[0]
                    for task in os.listdir(f"/proc/{pid}/task")
                }
                == {"T"},
                "every thread stopped",
            )
            with concurrent.futures.ThreadPoolExecutor(
                20
            ) as pool:  # each ten rounds of open, write, close
                written = (
                    sum(
                        pool.map(
                            lambda i: sum(
                                flush(device, bytes([65 + i]) * (1 + (i * 7 + r) % 23))
                                for r in range(10)
                            ),
                            range(20),
                        )
                    )
                    + 1
                )  # and the stop's own
            device.command("stop\nx\n")
            time.sleep(1)
            self.assertEqual(device.snapshot()[mark:], [])
            for number in [signal.SIGCONT, signal.SIGCHLD, signal.SIGWINCH, signal.SIGURG] * 100:
                os.kill(pid, number)
            device.wait_for(WATCHING, device.wait_for(KILLING[2:], mark))
            until(
                lambda: sum(read_lengths(device, mark)) >= written,
                f"reads adding up to {written} bytes",
            )
            lengths = read_lengths(device, mark)
            self.assertEqual(sum(lengths), written)
            self.assertEqual(max(lengths), 10)
            drain9 = "diag_peripheral_buffering_drain_immediate(9) = 1"
            until(
                lambda: [line.text for line in device.snapshot()].count(drain9) == len(lengths),
                "a drain a read",
            )

            # A few hundred wake-ups that run nothing (the last command was stop) and flush requests: descriptors,
            # threads and resident memory stay as they were once the allocators have warmed up. ThreadSanitizer's
            # runtime keeps a history of every access, so there resident memory tells nothing of the daemon.
            for i in range(300):
                if i == 150:
                    before = device.footprint()
                command(device, "stop\nx\n")
                flush(device, b"1")
            until(lambda: sum(read_lengths(device, mark)) == written + 300, "300 more bytes read")
            descriptors, threads, resident = device.footprint()
            self.assertEqual(descriptors, before[0])
            self.assertEqual(threads, before[1])
            if os.environ.get("SENSORS_SANITIZE") != "thread":
                self.assertLess(resident - before[2], 256, "kB more resident memory")

            # Idle: nothing logged, and no CPU used to speak of (a loop on a hung-up pipe would take a whole core).
            mark, ticks = len(device.snapshot()), cpu_ticks(pid)
            time.sleep(2)
            self.assertLessEqual(cpu_ticks(pid) - ticks, 2)
            self.assertEqual(device.snapshot()[mark:], [])

            # The pipe removed: a writer that holds it is still served; the command task's next wake-up ends it.
            held = writer(device)
            os.unlink(device.path(FLUSH_PIPE))
            os.write(held, b"123")
            device.wait_for(f"{READ_LEN}3", mark)
            device.command("stop\nenable_HLOS_packets\n")
            device.wait_for(UNABLE[2:], mark)
            device.command("star\nx\n")
            time.sleep(1)
            self.assert_thread(
                device,
                WATCHING,
                [f"I {ODL}", W, IN_MODIFY, W, IN_MODIFY, KILLING, W, *[IN_MODIFY, W] * 300, UNABLE],
            )
            self.assertEqual(device.thread(DIAG, 8)[:8], diag_lines(2))
            self.assertEqual(trcap(device), ["trcap -k -p 16"])
            os.close(held)

    def test_capture_tool(self):
        props = [
            "persist.vendor.sensors.debug.daemon=1",
            "persist.vendor.sensors.diag_buffer_mode=falsey",
        ]
        with Device(props=props, files={FLUSH_PIPE: b"not a pipe\n"}) as device:
            self.assert_started(device, 2)
            os.unlink(device.path("/vendor/bin/trcap"))
            # The directories of this second and the next ones taken: the start fails and is tried again.
            taken = [
                device.path(
                    time.strftime(
                        f"{SENSORS}/odl_sns_%Y_%m_%d_%H_%M_%S", time.localtime(time.time() + s)
                    )
                )
                for s in range(5)
            ]
            for directory in taken:
                os.mkdir(directory)
            command(device, "star\nx\n")
            for directory in taken:
                os.rmdir(directory)
            command(device, "star\nx\n")
            command(device, "star\nenable_HLOS_packets\n")
            device.write("/vendor/bin/trcap", b'#!/bin/sh\necho "trcap-failing: $*" >&2\nexit 1\n')
            os.chmod(device.path("/vendor/bin/trcap"), 0o755)
            command(device, "stop\nx\n")
            command(device, "stop\nenable_HLOS_packets\n")
            with open(
                device.path(COMMAND_FILE), "r+b", buffering=0
            ) as held:  # opened before it is made read-only
                os.chmod(device.path(COMMAND_FILE), 0o444)
                mark = len(device.snapshot())
                held.write(b"star\nx\n")
                device.wait_for(WATCHING, mark)
            os.unlink(device.path(COMMAND_FILE))
            device.wait_for(
                WATCHING,
                device.wait_for("get_odl_commands:  Failed to open /data/vendor//sensors/file1 "),
            )
            device.write(COMMAND_FILE, b"stop\nx\n")
            time.sleep(1)

            # Two capture directories: the start with the tool missing, and the one with the failing tool.
            _, launched = sorted(
                f"{SENSORS}/{name}"
                for name in os.listdir(device.path(SENSORS))
                if "odl_sns_" in name
            )
            self.assertEqual(
                [line.raw for line in device.snapshot() if not line.valid],
                [
                    "sh: 1: /vendor/bin/trcap: not found",
                    "trcap-failing: -k -p 16",
                    f"trcap-failing: -p 16 {CFG} -w {launched} -o {launched}",
                ],
            )
            self.assert_thread(
                device,
                WATCHING,
                [
                    f"I {ODL}",
                    W,
                    IN_MODIFY,
                    STARTING,
                    "E handle_events: mkdir failed errno:17 - strerror: File exists",
                    W,
                    IN_MODIFY,
                    STARTING,
                    W,
                    IN_MODIFY,
                    STARTING,
                    W,
                    IN_MODIFY,
                    KILLING,
                    W,
                    IN_MODIFY,
                    W,
                    IN_MODIFY,
                    STARTING,
                    W,
                    "E get_odl_commands:  Failed to open /data/vendor//sensors/file1 ",
                    W,
                ],
            )
            self.assert_thread(
                device,
                DIAG,
                diag_lines(0)
                + ["E wait_handle_flush: /data/vendor/sensors/sns_diag_flush is not a FIFO"],
            )
            self.assertEqual(
                device.odlctl("flush"),
                (
                    1,
                    "",
                    f"odlctl: flush pipe {device.path(FLUSH_PIPE)}: "
                    "not a FIFO, nothing written into it\n",
                ),
            )
            with open(os.open(device.path(FLUSH_PIPE), os.O_RDONLY | os.O_NONBLOCK), "rb") as pipe:
                self.assertEqual(pipe.read(), b"not a pipe\n")


if __name__ == "__main__":
    unittest.main()
