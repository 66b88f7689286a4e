#!/usr/bin/env python3
"""End-to-end figures of the real daemon on simulated devices (tests/e2e/device.py):
command latency against a bare inotify-and-system() floor, flush latency,
idle context switches, memory before and after 500 commands, and the size of
the stripped binary. Prints a Markdown report on standard output.

    bench/e2e_bench.py --build BUILD_DIR [--samples N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import device as harness  # noqa: E402

WATCHING = "trcap_capture:  before poll - for modify event"
DRAIN_3 = "diag_peripheral_buffering_drain_immediate(3) = 1"
FLUSH_PIPE = "/data/vendor/sensors/sns_diag_flush"


def daemon_ready(line):
    return line.message == WATCHING


def floor_ready(line):
    return line.tag == "odl-floor" and line.text == "watching"


def trace_of(tag, text=None):
    return lambda line: line.tag == tag and (text is None or line.text == text)


def start_device(build, props=()):
    """A simulated device running the program that `build` holds as
    sensordaemon. harness.BUILD is the harness's build directory."""
    harness.BUILD = build
    return harness.Device(props=props)


def floor_build(build):
    """A directory laid out like a build whose sensordaemon is the floor, so
    that devsim installs the floor as the device's program."""
    directory = tempfile.mkdtemp(prefix="sensors-floor.")
    os.symlink(os.path.join(build, "bench", "odl_floor"), os.path.join(directory, "sensordaemon"))
    for tool in ("trcap-sim", "odlctl"):
        os.symlink(os.path.join(build, tool), os.path.join(directory, tool))
    return directory


def command_sample(device, word, ready):
    """Seconds from the write of `word` into the command file to the first
    trace line of the capture tool; returns once the program watches again."""
    start = len(device.snapshot())
    written = time.monotonic()
    device.command(f"{word}\nx\n")
    traced = device.wait_for(trace_of("trcap-sim"), start=start)
    # A launch runs in the background: its trace line may come after the
    # program is watching again.
    device.wait_for(ready, start=start, timeout=30)
    return device.snapshot()[traced].stamp - written


def command_latencies(daemon, floor, samples):
    """Alternate starts and stops, daemon and floor one after the other, so
    both meet the same load on the machine. The first pair warms up (time
    zone data, the shell) and is not counted."""
    figures = {(who, word): [] for who in ("daemon", "floor") for word in ("star", "stop")}
    for i in range(samples + 2):
        word = ("star", "stop")[i % 2]
        for who, device, ready in (("daemon", daemon, daemon_ready), ("floor", floor, floor_ready)):
            # Settles the program in its wait after the line that announced it.
            time.sleep(0.2)
            took = command_sample(device, word, ready)
            if i >= 2:
                figures[(who, word)].append(took)
    return figures


def flush_latencies(device, samples):
    """Seconds from a 1-byte write into the flush pipe to the drain of
    peripheral 3. The first write is not counted: until a writer comes, the
    flush task is still opening the pipe."""
    figures = []
    for i in range(samples + 1):
        time.sleep(0.05)
        fd = os.open(device.path(FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
        try:
            start = len(device.snapshot())
            written = time.monotonic()
            os.write(fd, b"1")
            drained = device.wait_for(trace_of("diag-sim", DRAIN_3), start=start)
        finally:
            os.close(fd)
        if i > 0:
            figures.append(device.snapshot()[drained].stamp - written)
    return figures


def context_switches(pid):
    """Voluntary plus involuntary context switches of each thread of `pid`."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/status") as status:
            counts[tid] = sum(int(line.split()[1]) for line in status
                              if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))
    return counts




def proc_kb(path, field):
    """The kB figure of `field` ("VmRSS", "Pss", ...) in a /proc file."""
    with open(path) as figures:
        return next(int(line.split()[1]) for line in figures if line.startswith(field + ":"))


def wait_until_quiet(device, quiet_seconds):
    """Waits until the daemon has logged nothing new for `quiet_seconds`."""
    count, since = len(device.snapshot()), time.monotonic()
    while time.monotonic() - since < quiet_seconds:
        time.sleep(0.2)
        if len(device.snapshot()) != count:
            count, since = len(device.snapshot()), time.monotonic()


def memory(pid):
    rollup = f"/proc/{pid}/smaps_rollup"
    return {"VmRSS": proc_kb(f"/proc/{pid}/status", "VmRSS"), "Pss": proc_kb(rollup, "Pss"),
            "Private_Dirty": proc_kb(rollup, "Private_Dirty")}


def many_commands(device, count):
    """`count` commands, alternating, 5 ms apart, so that those written
    during a pause coalesce."""
    for i in range(count):
        device.command(("star\nx\n", "stop\nx\n")[i % 2])
        time.sleep(0.005)
    wait_until_quiet(device, 6)


def stripped_size(build):
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "sensordaemon")
        shutil.copyfile(os.path.join(build, "sensordaemon"), copy)
        subprocess.run(["strip", copy], check=True)
        return os.path.getsize(copy)


def ms(seconds):
    return f"{seconds * 1000:.3f} ms"


def quantiles(values):
    """Median and 90th percentile."""
    return statistics.median(values), statistics.quantiles(values, n=10, method="inclusive")[8]


def report_commands(figures):
    print("| command | daemon median | daemon p90 | floor median | floor p90 | median ratio |")
    print("|---|---|---|---|---|---|")
    rows = [("star", figures[("daemon", "star")], figures[("floor", "star")]),
            ("stop", figures[("daemon", "stop")], figures[("floor", "stop")]),
            ("both", figures[("daemon", "star")] + figures[("daemon", "stop")],
             figures[("floor", "star")] + figures[("floor", "stop")])]
    for word, daemon, floor in rows:
        d50, d90 = quantiles(daemon)
        f50, f90 = quantiles(floor)
        print(f"| {word} ({len(daemon)} samples) | {ms(d50)} | {ms(d90)} | {ms(f50)} | {ms(f90)} | {d50 / f50:.2f} |")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory with sensordaemon and bench/odl_floor")
    parser.add_argument("--samples", type=int, default=24, help="command samples each for daemon and floor")
    parser.add_argument("--flush-samples", type=int, default=200)
    parser.add_argument("--commands", type=int, default=500)
    parser.add_argument("--idle-seconds", type=int, default=30)
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)

    with start_device(build) as daemon:
        daemon.wait_for(WATCHING, timeout=60)
        pid = daemon.daemon_pid()
        wait_until_quiet(daemon, 2)
        before = context_switches(pid)
        time.sleep(args.idle_seconds)
        after = context_switches(pid)
        idle_memory = memory(pid)
        switches = {tid: after.get(tid, 0) - count for tid, count in before.items()}

        flushes = quantiles(flush_latencies(daemon, args.flush_samples))

        floor_dir = floor_build(build)
        try:
            with start_device(floor_dir) as floor:
                floor.wait_for(floor_ready, timeout=30)
                commands = command_latencies(daemon, floor, args.samples)
        finally:
            shutil.rmtree(floor_dir)

        wait_until_quiet(daemon, 6)
        many_commands(daemon, args.commands)
        busy_memory = memory(pid)

    print("### End to end\n")
    print("Command latency, write into the command file to the capture tool's first trace line:\n")
    report_commands(commands)
    print(f"\nFlush latency, 1-byte write into the flush pipe to `{DRAIN_3}` "
          f"({args.flush_samples} samples): median {ms(flushes[0])}, p90 {ms(flushes[1])}\n")
    print(f"Idle context switches over {args.idle_seconds} s, per thread: "
          + ", ".join(f"{tid}: {n}" for tid, n in sorted(switches.items()))
          + f"; total {sum(switches.values())}\n")
    print("| memory | VmRSS | Pss | Private_Dirty |")
    print("|---|---|---|---|")
    for when, figures in (("idle", idle_memory), (f"after {args.commands} commands", busy_memory)):
        print(f"| {when} | {figures['VmRSS']} kB | {figures['Pss']} kB | {figures['Private_Dirty']} kB |")
    print(f"\nStripped binary: {stripped_size(build)} bytes")


if __name__ == "__main__":
    main(sys.argv[1:])
