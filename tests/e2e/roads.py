"""End-to-end roads: the real daemon on simulated devices, each road one whole
story checked line by line and thread by thread, its pauses measured from the
lines' time stamps. A window in which nothing may happen ends on a flush
request that the daemon answers; every road ends with the daemon running."""
import concurrent.futures
import contextlib
import errno
import itertools
import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import COMMAND_FILE, FLUSH_PIPE, POLL, SENSORS, WATCHING  # noqa: E402
from device import Device, Road, proc_figure, proc_stat, until  # noqa: E402

CFG = "-f /data/vendor/sensors/Diag.cfg"
LEVEL = "persist.vendor.sensors.debug.daemon="
BUFFER_MODE = "persist.vendor.sensors.diag_buffer_mode="
AONT = "persist.vendor.sensors.debug.enable.aon_sensor="
W = "I " + WATCHING
ODL = "trcap_capture:  in trcap_capture "
DIAG = "handle_diag_settings: try Diag_LSM_Init, count = 1"
IN_MODIFY = "I handle_events: handle_event : IN_MODIFY"
STARTING = "I handle_events: Daig : Diag.cfg present: starting trcap"
KILL = "handle_events: Daig : Killing current ODL instance "
KILLING = "I " + KILL
UNABLE = "handle_events:  Unable to open the pipe : /data/vendor/sensors/sns_diag_flush"
READ_LEN = "wait_handle_flush: sns_diag_flush read len: "
SENDING = "D send_request: sending on change config request for aont"
TOOL_DATA = re.compile(r"/trcap_\d+_\d+\.bin$")
TOOK = re.compile(r"main: took (\d+) ms to complete diag init")
DIAG_UP = [
    f"I {DIAG}",
    "I Diag_LSM_Init(NULL) = 1",
    "I handle_diag_settings: Diag_LSM_Init is successful",
]
CIRCULAR_MODE = "I diag_buffering_enabled: DIAG Buffering mode val: 1"
CIRCULAR = [
    CIRCULAR_MODE,
    "I handle_diag_settings: Setting SNS TX MODE to CIRCULAR BUFF",
    "I diag_configure_peripheral_buffering_tx_mode(3, 2, 20, 70) = 1",
    "I diag_configure_peripheral_buffering_tx_mode(9, 2, 20, 70) = 1",
    "I handle_diag_settings: Set SNS TX MODE success and return val: 1",
]
STREAMING = [
    "I diag_buffering_enabled: DIAG Buffering mode val: 0",
    "I handle_diag_settings: Setting SNS TX MODE to STREAMING",
    "I diag_configure_peripheral_buffering_tx_mode(3, 0, 20, 70) = 1",
]
STREAMING_SET = [
    "I diag_configure_peripheral_buffering_tx_mode(9, 0, 20, 70) = 1",
    "I handle_diag_settings: Set SNS TX MODE success and return val: 1",
]
DRAINED = [
    "I diag_peripheral_buffering_drain_immediate(3) = 1",
    "I diag_peripheral_buffering_drain_immediate(9) = 1",
]
# An sns_client_event_msg made by hand, events (2) of msg_id (1, fixed32), timestamp (2, fixed64),
# payload (3): 1024 at 7 with 4 samples, 0x80000000 at 2^64 - 1 without payload, 1024 at 5 with a
# payload that does not decode.
INDICATION = (
    "12220d00040000110700000000000000"
    "1a120a10" + "00" * 16 + "120e0d0000008011ffffffffffffffff"
    "12110d000400001105000000000000001a01ff"
)


def trcap(device, start=0):
    traced = [line.text for line in device.snapshot()[start:] if line.tag == "trcap-sim"]
    return [text for text in traced if text.startswith("trcap ")]


def occurrences(device, text):
    return [line.text for line in device.snapshot()].count(text)


def gap(device, first, then, start=0):
    """Seconds from the line `first` (from `start` on) to the next line `then`."""
    at = device.wait_for(first, start)
    lines = device.snapshot()
    return lines[device.wait_for(then, at)].stamp - lines[at].stamp


def command(device, text):
    """Writes a command; returns the index of the line that shows the daemon watching again."""
    mark = len(device.snapshot())
    device.command(text)
    return device.wait_for(WATCHING, mark)


def read_lengths(device, start):
    messages = [line.message for line in device.snapshot()[start:]]
    return [int(message.removeprefix(READ_LEN)) for message in messages if READ_LEN in message]


def writer(device):
    """A writer of the flush pipe, opened without blocking as soon as something reads it (30 s at
    most)."""
    deadline = time.monotonic() + 30
    while True:
        try:
            fd = os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
            os.set_blocking(fd, True)
            return fd
        except OSError as error:  # ENXIO: nothing reads it yet
            if error.errno != errno.ENXIO or time.monotonic() > deadline:
                raise AssertionError(f"no writer of the flush pipe opened in 30 s: {error}")
        time.sleep(POLL)


def flush(device, data):
    """Opens the flush pipe, writes `data` and closes it, as any writer does; returns the bytes
    written."""
    fd = writer(device)
    written = os.write(fd, data)
    os.close(fd)
    return written


def answered(device, fd=None):
    """A one-byte flush request (through `fd`, a held writer, if given) whose read line closes a
    window in which nothing else may happen."""
    mark = len(device.snapshot())
    if fd is None:
        flush(device, b"1")
    else:
        os.write(fd, b"1")
    device.wait_for(f"{READ_LEN}1", mark)


def ten_rounds(device, writer_number):
    """Ten rounds of open, write, close by one of the flush pipe's writers, 1 to 23 bytes of its own
    letter each; returns the bytes written."""
    letter = bytes([ord("A") + writer_number])
    written = 0
    for round_number in range(10):
        size = 1 + (writer_number * 7 + round_number) % 23
        written += flush(device, letter * size)
    return written


def thread_states(pid):
    tasks = os.listdir(f"/proc/{pid}/task")
    return {proc_stat(f"/proc/{pid}/task/{task}/stat")["state"] for task in tasks}


def footprint(pid):
    """The daemon's open descriptors, its thread count and its resident kB."""
    resident = proc_figure(f"/proc/{pid}/status", "VmRSS")
    return sorted(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task")), resident


def inherited(pid):
    """Where the descriptors of a process point, the standard streams and the capture tool
    stand-in's own data files left out."""
    targets = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(FileNotFoundError):  # closed meanwhile: one of the tool's files
            targets.append(os.readlink(f"/proc/{pid}/fd/{fd}") if int(fd) > 2 else "")
    return [target for target in targets if target and not TOOL_DATA.search(target)]


def read(*lines):
    return [f"D get_odl_commands:  line(command): {line} " for line in lines]


class Roads(Road):
    def assert_thread(self, device, message, expected):
        self.assertEqual(device.thread(message, len(expected)), expected)

    def assert_started(self, device, level):
        """The main thread's lines, main's wait, and the command file emptied and opened to
        everyone."""
        device.wait_for(WATCHING, timeout=60)
        took_at = device.wait_for(
            "main's wait ended", accepts=lambda line: TOOK.fullmatch(line.message)
        )
        took = int(TOOK.fullmatch(device.lines[took_at].message)[1])
        self.assertGreaterEqual(took, 5500)  # from main's own start
        self.assertLess(took, 9000)
        main = [f"I set_log_level: log_level set: {level}", "I main: sensors daemon starting"]
        self.assert_thread(
            device,
            "main: sensors daemon starting",
            main + [f"I main: took {took} ms to complete diag init"],
        )
        self.assertGreater(device.wait_for(ODL), took_at)
        self.assertGreaterEqual(gap(device, ODL, WATCHING), 2.0)
        stat = os.stat(device.path(COMMAND_FILE))
        self.assertEqual(stat.st_size, 0)
        self.assertEqual(stat.st_mode & 0o777, 0o777)

    def test_boot_kora(self):
        with Device(props=[BUFFER_MODE + "true"], remoteprocs=["kora"]) as device:
            self.assert_started(device, 2)
            boot = f"{CFG} -w {SENSORS} -o {SENSORS}"
            boot_captures = [f"trcap -g 16384 {boot}", f"trcap -p 4 {boot}"]
            self.assertEqual(sorted(trcap(device)), boot_captures)
            self.assertEqual(os.stat(device.path(FLUSH_PIPE)).st_mode, 0o10666)

            # Started and stopped with odlctl.
            ready = len(device.snapshot())
            started = device.odlctl("start", "--packets")
            stamp = r"odl_sns_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d"
            sensors = re.escape(device.path(SENSORS))
            self.assertRegex(started.out, rf"^started: {sensors}/{stamp} \(variant --packets\)\n$")
            self.assertEqual(started.status, 0)
            directory = started.out.removeprefix(f"started: {device.root}").split()[0]
            watching = device.wait_for(WATCHING, ready)
            launched = [
                f"trcap -g 16384 {CFG} -w {directory} -o {directory}",
                f"trcap -p 5 {CFG} -w {directory} -o {directory}",
            ]
            self.assertEqual(sorted(trcap(device, ready)), launched)
            # The running capture tools hold none of the daemon's descriptors but the inotify one,
            # which the command's shell inherits as the daemon makes it; the boot captures came
            # before it.
            held = sorted(inherited(pid) for pid in device.processes("/vendor/bin/trcap"))
            self.assertEqual(held, [[], [], ["anon_inode:inotify"], ["anon_inode:inotify"]])
            # The stop of the packet variant ends its tools and both -g 16384 ones; the boot
            # capture's -p 4 runs on.
            stopped = device.odlctl("stop", "--packets")
            self.assertEqual(
                stopped.out, "stopped: no capture tool of the --packets variant runs\n"
            )
            boot_tool = rf"pid \d+ \(-p 4 into {sensors}\) of the default variant runs on"
            self.assertRegex(stopped.err, rf"^odlctl: warning: {boot_tool}: odlctl start then ")
            self.assertEqual(stopped.status, 0)
            device.wait_for(WATCHING, watching)
            self.assertEqual(trcap(device, watching), ["trcap -k -p 5", "trcap -k -g 16384"])
            status = device.odlctl("status").out
            self.assertRegex(status, rf"\n  {sensors}/{stamp}  finished  ")
            self.assertRegex(status, rf"\nother capture tool: pid \d+ \(-p 4 into {sensors}\)\n$")
            boot_capture = [
                "I handle_diag_settings:  Diag.cfg present: starting trcap ",
                "I handle_diag_settings:  after opening file ",
                "I handle_diag_settings:  written 7",
            ]
            diag = DIAG_UP + CIRCULAR + boot_capture + [f"I {READ_LEN}1"] + DRAINED
            self.assert_thread(device, DIAG, diag)
            odl = [f"I {ODL}", W, IN_MODIFY, STARTING, W, IN_MODIFY, KILLING, W]
            self.assert_thread(device, WATCHING, odl)

    def test_streaming_vela(self):
        files = {FLUSH_PIPE: None, COMMAND_FILE: b"stop\nx\n"}
        props = ["sim.diag.tx_mode_result.9=2", AONT + "tru", LEVEL + "d"]
        with Device(props=props, remoteprocs=["vela"], files=files) as device:
            self.assert_started(device, 3)
            disabled = "handle_aont: aont disabled"
            self.assert_thread(device, disabled, [f"D {disabled}"])
            self.assertEqual(os.stat(device.path(FLUSH_PIPE)).st_mode, 0o10600)
            # A command, the lines its wake-up reads, and what it carries out.
            wake_ups = [
                ("star\nx\n", ["star", "x"], [STARTING]),
                ("star\nx\n", ["star", "x"], [STARTING]),
                ("\nstop\n\nx\n", ["", "stop", "", "x"], [KILLING]),
                ("stop\nenable_HLOS_packets\n", ["stop", "enable_HLOS_packets"], []),
                ("start\nenable_HLOS_packets\n", ["start", "enable_HLOS_packets"], []),
                ("star\nenable_HLOS_packets\n", ["star", "enable_HLOS_packets", ""], [STARTING]),
            ]
            expected = [f"I {ODL}", W]
            for text, lines_read, carried_out in wake_ups:
                command(device, text)
                expected += [*read(*lines_read), IN_MODIFY, *carried_out, W]
            # A file renamed over the command file ends the watch: one wake-up reads it, later
            # writes wake nothing.
            mark = len(device.snapshot())
            device.write(COMMAND_FILE + ".new", b"stop\nx\n")
            os.rename(device.path(COMMAND_FILE + ".new"), device.path(COMMAND_FILE))
            device.wait_for(WATCHING, mark)
            device.command("star\nx\n")
            answered(device)
            self.assert_thread(device, WATCHING, expected + [*read("stop", "x"), W])
            tx_failed = [
                "I diag_configure_peripheral_buffering_tx_mode(9, 0, 20, 70) = 2",
                "E handle_diag_settings: Set SNS TX MODE failed and return val: 2",
            ]
            requests = [f"I {READ_LEN}1", *DRAINED, f"I {READ_LEN}1", *DRAINED]
            self.assert_thread(device, DIAG, DIAG_UP + STREAMING + tx_failed + requests)

    def test_never_ready(self):
        failing = ["sim.diag.init_failures=25", "sim.diag.init_delay_ms=440"]
        props = [LEVEL + "e", *failing, "sim.diag.drain_result.3=2"]
        with Device(props=props, options=["--no-remoteproc"]) as device:
            not_ready = "main: diag is not initialized within 11000 ms"
            waited = gap(device, "set_log_level: log_level set: 1", not_ready)
            self.assertGreaterEqual(waited, 11.0)
            self.assertLess(waited, 12.5)
            pipe = device.path(FLUSH_PIPE)
            until(lambda: os.path.exists(pipe), "the flush pipe, made once the client is given up")
            flush(device, b"1")
            failed = "handle_diag_settings: Diag_LSM_Init failed!"
            drain_failed = [
                "I diag_peripheral_buffering_drain_immediate(3) = 2",
                "E wait_handle_flush: diag_peripheral_buffering_drain_immediate error",
            ]
            attempts = ["I Diag_LSM_Init(NULL) = 0"] * 25
            self.assert_thread(device, failed, attempts + [f"E {failed}"] + drain_failed)
            lines = device.snapshot()
            tried = [line.stamp for line in lines if line.text == "Diag_LSM_Init(NULL) = 0"]
            pauses = [later - earlier for earlier, later in itertools.pairwise(tried)]
            self.assertGreaterEqual(min(pauses), 0.63)

    def test_aont(self):
        hub = ["sim.hub.aont_suids=1:2,3:4,5:6", "sim.hub.create_fail=2"]
        indications = ["sim.hub.sample_period_ms=100", "sim.hub.indication_hex=" + INDICATION]
        props = [LEVEL + "v", AONT + "true1", *hub, *indications]
        with Device(props=props) as device:
            device.wait_for("main: sensors daemon starting")
            # Taken away before the daemon first uses it, after the diagnostic client's 6 s pause.
            os.rename(device.path(SENSORS), device.path(SENSORS + ".away"))
            sending = "handle_aont: sending enable aont request"
            looked_up = ["I enable: enable aont", "I suid_lookup.request_suid(aont, false)"]
            sent = "I handle_aont: sent enable aont request"
            self.assert_thread(device, sending, [f"I {sending}", *looked_up, sent])

            def enabled(number, low, high, suid):
                client = f"I orb_interface#{number}"
                request = f"msg_id=514 suid={suid} suspend=0/1 request=present payload=absent"
                return [
                    f"D suid_cbk: aont suid_low: {low} suid_high: {high}",
                    SENDING,
                    f"I orb_interface.create(0) = #{number}",
                    f"{client}.register_callbacks({suid})",
                    f"{client}.send_client_request({suid}, 1, {request} bytes=33)",
                ]

            answer = "suid_cbk: received response for aont suids.size() 3"
            not_made = ["I orb_interface.create(0) = null", "I orb_interface#1.destroyed"]
            failed = "E send_request:  failed to create orb_interface with ORB_KVX"
            second = ["D suid_cbk: aont suid_low: 3 suid_high: 4", SENDING, *not_made, failed]
            answered = ["I suid_lookup.answer(aont, 3)", f"D {answer}"]
            clients = enabled(1, 1, 2, "1:2") + second + enabled(3, 5, 6, "5:6")
            self.assert_thread(device, answer, answered + clients)
            # The first indication, up to the second.
            indication = "orb_interface#3.indication(bytes=71)"
            next_one = device.wait_for(indication, device.wait_for(indication) + 1)
            self.assertEqual(
                device.thread(indication, end=next_one),
                [
                    f"I {indication}",
                    "D handle_aont_event: Received indication with length 71",
                    "D handle_aont_event: event[0] msg_id=1024, ts=7",
                    "V handle_aont_event: Received sample size 4",
                    "D handle_aont_event: event[1] msg_id=-2147483648, ts=18446744073709551615",
                    "D handle_aont_event: event[2] msg_id=1024, ts=5",
                    "V handle_aont_event: Received sample size 0",
                ],
            )

            device.wait_for(WATCHING, timeout=60)
            no_fifo = "E wait_handle_flush: mkfifo error: 2"
            self.assert_thread(device, DIAG, DIAG_UP + STREAMING + STREAMING_SET + [no_fifo])
            no_file = (
                "fail to change permission on diag_odl_file, err = 2, No such file or directory"
            )
            self.assert_thread(device, WATCHING, [f"I {ODL}", f"E trcap_capture: {no_file}", W])

    def test_flush_load(self):
        # AddressSanitizer hands freed memory out again at once, as the plain allocator does, so
        # that resident memory tells a leak.
        reuse = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"}
        props = [BUFFER_MODE + "fals"]
        with Device(props=props, options=["--no-diag-cfg"], environment=reuse) as device:
            self.assert_started(device, 2)
            self.assertIn(CIRCULAR_MODE, device.thread(DIAG))  # "fals" is not "false"
            command(device, "star\nx\n")
            pid = device.daemon_pid()
            mark = len(device.snapshot())

            # Stopped: twenty writers at once, ten rounds each, and a stop. Continued: every byte is
            # read, at most ten a read, each read drained, the stop carried out; signals ignored by
            # default change nothing.
            os.kill(pid, signal.SIGSTOP)
            until(lambda: thread_states(pid) == {"T"}, "every thread stopped")
            with concurrent.futures.ThreadPoolExecutor(20) as pool:
                by_writer = pool.map(lambda number: ten_rounds(device, number), range(20))
                flushed = sum(by_writer)
            device.command("stop\nx\n")
            written = flushed + 1  # and the stop's own request
            for number in [signal.SIGCONT, signal.SIGCHLD, signal.SIGWINCH, signal.SIGURG] * 100:
                os.kill(pid, number)
            device.wait_for(WATCHING, device.wait_for(KILL, mark))
            all_read = f"reads adding up to {written} bytes"
            until(lambda: sum(read_lengths(device, mark)) >= written, all_read)
            lengths = read_lengths(device, mark)
            self.assertEqual(sum(lengths), written)
            self.assertEqual(max(lengths), 10)
            drain9 = "diag_peripheral_buffering_drain_immediate(9) = 1"
            until(lambda: occurrences(device, drain9) == len(lengths), "a drain a read")

            # A few hundred wake-ups that run nothing (the last command was stop) and flush
            # requests: descriptors, threads and resident memory stay as they were once the
            # allocators have warmed up. ThreadSanitizer's runtime keeps a history of every access,
            # so there resident memory tells nothing of the daemon.
            for i in range(300):
                if i == 150:
                    until(lambda: thread_states(pid) == {"S"}, "every thread asleep, between wakes")
                    descriptors, threads, resident = footprint(pid)
                command(device, "stop\nx\n")
                flush(device, b"1")
            until(lambda: sum(read_lengths(device, mark)) == written + 300, "300 more bytes read")
            descriptors_after, threads_after, resident_after = footprint(pid)
            self.assertEqual(descriptors_after, descriptors)
            self.assertEqual(threads_after, threads)
            if os.environ.get("SENSORS_SANITIZE") != "thread":
                self.assertLess(resident_after - resident, 256, "kB more resident memory")
            # Idle, every thread sleeps (a loop on a hung-up pipe would never let it).
            until(lambda: thread_states(pid) == {"S"}, "every thread asleep")

            # The pipe removed: a writer that holds it is still served; the command task's next
            # wake-up ends it.
            held = writer(device)
            os.unlink(device.path(FLUSH_PIPE))
            os.write(held, b"123")
            device.wait_for(f"{READ_LEN}3", mark)
            device.command("stop\nenable_HLOS_packets\n")
            device.wait_for(UNABLE, mark)
            device.command("star\nx\n")
            answered(device, held)
            os.close(held)
            rounds = [IN_MODIFY, W] * 300
            odl = [f"I {ODL}", W, IN_MODIFY, W, IN_MODIFY, KILLING, W, *rounds, f"E {UNABLE}"]
            self.assert_thread(device, WATCHING, odl)
            self.assertEqual(trcap(device), ["trcap -k -p 16"])

    def test_capture_tool(self):
        with Device(props=[LEVEL + "1", BUFFER_MODE + "falsey"]) as device:
            self.assert_started(device, 2)
            os.unlink(device.path("/vendor/bin/trcap"))
            # The directories of this second and the next ones taken: the start fails and is tried
            # again.
            stamp = f"{SENSORS}/odl_sns_%Y_%m_%d_%H_%M_%S"
            seconds = [time.localtime(time.time() + ahead) for ahead in range(5)]
            taken = [device.path(time.strftime(stamp, local)) for local in seconds]
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
            # Opened before it is made read-only.
            with open(device.path(COMMAND_FILE), "r+b", buffering=0) as held:
                os.chmod(device.path(COMMAND_FILE), 0o444)
                mark = len(device.snapshot())
                held.write(b"star\nx\n")
                device.wait_for(WATCHING, mark)
            os.unlink(device.path(COMMAND_FILE))
            no_file = "get_odl_commands:  Failed to open /data/vendor//sensors/file1 "
            device.wait_for(WATCHING, device.wait_for(no_file))
            device.write(COMMAND_FILE, b"stop\nx\n")
            answered(device)

            # Two capture directories: the start with the tool missing, and the one with the failing
            # tool.
            names = os.listdir(device.path(SENSORS))
            made = [f"{SENSORS}/{name}" for name in names if name.startswith("odl_sns_")]
            directories = sorted(made)
            self.assertEqual(len(directories), 2, directories)
            _, launched = directories
            shell_output = [line.raw for line in device.snapshot() if not line.valid]
            # The device's shell, mksh, reports the missing tool, then the failing tool prints.
            shell_lines = [
                "E: sh: /vendor/bin/trcap: inaccessible or not found",
                "trcap-failing: -k -p 16",
                f"trcap-failing: -p 16 {CFG} -w {launched} -o {launched}",
            ]
            self.assertEqual(shell_output, shell_lines)
            exists = "E handle_events: mkdir failed errno:17 - strerror: File exists"
            expected = (
                [f"I {ODL}", W]
                + [IN_MODIFY, STARTING, exists, W]
                + [IN_MODIFY, STARTING, W]
                + [IN_MODIFY, STARTING, W]
                + [IN_MODIFY, KILLING, W]
                + [IN_MODIFY, W]
                + [IN_MODIFY, STARTING, W]
                + [f"E {no_file}", W]
            )
            self.assert_thread(device, WATCHING, expected)
            requests = [f"I {READ_LEN}1", *DRAINED, f"I {READ_LEN}1", *DRAINED]
            self.assert_thread(device, DIAG, DIAG_UP + STREAMING + STREAMING_SET + requests)


if __name__ == "__main__":
    unittest.main()
