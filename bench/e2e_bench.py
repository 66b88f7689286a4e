#!/usr/bin/env python3
"""End-to-end figures of the real daemon on simulated devices (tests/e2e/device.py, the
harness of the end-to-end tests):
command latency against the floor (bench/floor/odl_floor.c: inotify, read and
system()), both running the smallest capture tool stand-in
(bench/floor/trcap_min.c); flush latency, idle context switches, memory
before and after 500 commands, and the size of the stripped binary. Prints a
Markdown report on standard output. Every wait has a deadline and every count
is fixed, so it ends in about three minutes whatever the speed of what it
measures (the daemon's own pauses set most of it).

    bench/e2e_bench.py --build BUILD_DIR [--samples N] [--only-commands]
"""
import argparse
import contextlib
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

DRAIN_3 = "diag_peripheral_buffering_drain_immediate(3) = 1"
# How long a program has been watching again before the next command sample.
SETTLE = 0.2


def daemon_ready(line):
    return line.message == harness.WATCHING


def floor_ready(line):
    return line.tag == "odl-floor" and line.text == "watching"


def trace_of(tag, text=None):
    return lambda line: line.tag == tag and (text is None or line.text == text)


def floor_build(build):
    """A directory laid out like a build whose sensordaemon is the floor, so
    that devsim installs the floor as the device's program."""
    directory = tempfile.mkdtemp(prefix="sensors-floor.")
    os.symlink(os.path.join(build, "bench", "odl_floor"), os.path.join(directory, "sensordaemon"))
    os.symlink(os.path.join(build, "odlctl"), os.path.join(directory, "odlctl"))
    return directory


class Watcher:
    """One program on its own device, taking command samples: the daemon or
    the floor, with the smallest capture tool stand-in."""

    def __init__(self, who, device, ready):
        self.who, self.device, self.ready = who, device, ready
        self.since = 0  # the index from which its next "watching" line is looked for
        self.taken = []  # (command, time of the write, stamp of the trace line) of every sample

    def sample(self, word):
        """Seconds from the write of `word` into the command file to the first
        trace line of the capture tool. Waits first until the program has
        watched again for SETTLE seconds after its previous command (the
        daemon's pauses end there), so that it meets the write in its wait."""
        watching = self.device.wait_for("watching", start=self.since, accepts=self.ready)
        rest = SETTLE - (time.monotonic() - self.device.snapshot()[watching].stamp)
        if rest > 0:
            time.sleep(rest)
        start = len(self.device.snapshot())
        written = time.monotonic()
        self.device.command(f"{word}\nx\n")
        # Off the CPUs at once: the program woken by the write may have been
        # put on this one.
        time.sleep(harness.POLL)
        traced = self.device.snapshot()[
            self.device.wait_for("a trcap-sim line", start=start, accepts=trace_of("trcap-sim"))
        ].stamp
        self.since = start
        self.taken.append((word, written, traced))
        return traced - written


def command_latencies(watchers, samples):
    """`samples` starts and as many stops for each of daemon and floor, the
    i-th of the daemon's and the i-th of the floor's taken one right after
    the other (which goes first changes every other round), so both meet the
    same load. Rounds alternate the command; several daemon devices take
    turns so that one's 3 s or 5 s pause after a command is spent on the
    others' samples. The first two rounds warm up (time zone data, the shell,
    the page cache) and are not counted."""
    figures = {(who, word): [] for who in ("daemon", "floor") for word in ("star", "stop")}
    daemons = [w for w in watchers if w.who == "daemon"]
    floor = next(w for w in watchers if w.who == "floor")
    rounds = 2 + 2 * -(-samples // len(daemons))
    for i in range(rounds):
        word = ("star", "stop")[i % 2]
        for daemon in daemons:
            for watcher in ((daemon, floor), (floor, daemon))[i // 2 % 2]:
                took = watcher.sample(word)
                if i >= 2 and len(figures[(watcher.who, word)]) < samples:
                    figures[(watcher.who, word)].append(took)
    return figures


def flush_latencies(device, samples):
    """Seconds from a 1-byte write into the flush pipe to the drain of
    peripheral 3. The first write is not counted: until a writer comes, the
    flush task is still opening the pipe."""
    figures = []
    for i in range(samples + 1):
        time.sleep(0.05)
        fd = os.open(device.path(harness.FLUSH_PIPE), os.O_WRONLY | os.O_NONBLOCK)
        try:
            start = len(device.snapshot())
            written = time.monotonic()
            os.write(fd, b"1")
        finally:
            os.close(fd)
        time.sleep(harness.POLL)
        drained = device.wait_for(DRAIN_3, start=start, accepts=trace_of("diag-sim", DRAIN_3))
        if i > 0:
            figures.append(device.snapshot()[drained].stamp - written)
    return figures


def context_switches(pid):
    """Voluntary plus involuntary context switches of each thread of `pid`."""
    counts = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        status = f"/proc/{pid}/task/{tid}/status"
        voluntary = harness.proc_figure(status, "voluntary_ctxt_switches")
        counts[tid] = voluntary + harness.proc_figure(status, "nonvoluntary_ctxt_switches")
    return counts


def load_average():
    with open("/proc/loadavg") as figures:
        return " ".join(figures.read().split()[:3])


def wait_until_quiet(device, quiet_seconds, limit=60):
    """Waits until the daemon has logged nothing new for `quiet_seconds`, or
    `limit` seconds at most; answers whether it fell quiet."""
    count, since, deadline = len(device.snapshot()), time.monotonic(), time.monotonic() + limit
    while time.monotonic() - since < quiet_seconds:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
        if len(device.snapshot()) != count:
            count, since = len(device.snapshot()), time.monotonic()
    return True


def memory(pid):
    rollup = f"/proc/{pid}/smaps_rollup"
    return {
        "VmRSS": harness.proc_figure(f"/proc/{pid}/status", "VmRSS"),
        "Pss": harness.proc_figure(rollup, "Pss"),
        "Private_Dirty": harness.proc_figure(rollup, "Private_Dirty"),
    }


def many_commands(device, count):
    """`count` commands, alternating, 5 ms apart, so that those written
    during a pause coalesce; answers whether the daemon fell quiet after them."""
    for i in range(count):
        device.command(("star\nx\n", "stop\nx\n")[i % 2])
        time.sleep(0.005)
    return wait_until_quiet(device, 6)


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
    """One row per command. Samples are taken in pairs, a daemon's and the
    floor's one after the other, so the median of the pairs' differences
    tells the daemon's extra time even when the load changes during the run."""
    print(
        "| command | daemon median | daemon p90 | floor median | floor p90 | median ratio | p90 ratio "
        "| median pair difference |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for word in ("star", "stop"):
        daemon, floor = figures[("daemon", word)], figures[("floor", word)]
        d50, d90 = quantiles(daemon)
        f50, f90 = quantiles(floor)
        paired = statistics.median(d - f for d, f in zip(daemon, floor))
        print(
            f"| {word} ({len(daemon)} + {len(floor)} samples) | {ms(d50)} | {ms(d90)} | {ms(f50)} | {ms(f90)} "
            f"| {d50 / f50:.2f} | {d90 / f90:.2f} | {paired * 1e6:+.0f} µs |"
        )


def main(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--build", required=True, help="build directory with sensordaemon and bench/odl_floor"
    )
    parser.add_argument(
        "--samples", type=int, default=30, help="samples of each command for daemon and floor"
    )
    parser.add_argument(
        "--daemons", type=int, default=4, help="daemon devices taking turns at command samples"
    )
    parser.add_argument("--flush-samples", type=int, default=200)
    parser.add_argument("--commands", type=int, default=500)
    parser.add_argument("--idle-seconds", type=int, default=30)
    parser.add_argument("--only-commands", action="store_true", help="measure command latency only")
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)

    lean_tool = ("--trcap", os.path.join(build, "bench", "trcap_min"))
    with contextlib.ExitStack() as stack:
        floor_dir = floor_build(build)
        stack.callback(shutil.rmtree, floor_dir)
        watchers = [
            Watcher(
                "daemon",
                stack.enter_context(harness.Device(build=build, options=lean_tool)),
                daemon_ready,
            )
            for _ in range(args.daemons)
        ]
        watchers.append(
            Watcher(
                "floor",
                stack.enter_context(harness.Device(build=floor_dir, options=lean_tool)),
                floor_ready,
            )
        )
        load = load_average()
        commands = command_latencies(watchers, args.samples)
    print("### End to end\n")
    print(
        f"Command latency, write into the command file to the capture tool's first trace line, the "
        f"capture tool being `bench/floor/trcap_min.c` for both (load average {load} before, "
        f"{load_average()} after):\n"
    )
    report_commands(commands)
    if args.only_commands:
        return

    with harness.Device(build=build) as daemon:
        daemon.wait_for(harness.WATCHING, timeout=60)
        pid = daemon.daemon_pid()
        quiet = wait_until_quiet(daemon, 2)
        before = context_switches(pid)
        time.sleep(args.idle_seconds)
        after = context_switches(pid)
        idle_memory = memory(pid)
        switches = {tid: after.get(tid, 0) - count for tid, count in before.items()}

        flushes = quantiles(flush_latencies(daemon, args.flush_samples))
        flush_load = load_average()

        quiet_after = many_commands(daemon, args.commands)
        busy_memory = memory(pid)

    print(
        f"\nFlush latency, 1-byte write into the flush pipe to `{DRAIN_3}` "
        f"({args.flush_samples} samples, load average {flush_load} after): "
        f"median {ms(flushes[0])}, p90 {ms(flushes[1])}\n"
    )
    print(
        f"Idle context switches over {args.idle_seconds} s, per thread: "
        + ", ".join(f"{tid}: {n}" for tid, n in sorted(switches.items()))
        + f"; total {sum(switches.values())}"
        + ("" if quiet else " (the daemon was still logging before)")
        + "\n"
    )
    print("| memory | VmRSS | Pss | Private_Dirty |")
    print("|---|---|---|---|")
    busy = f"after {args.commands} commands" + (
        "" if quiet_after else " (still logging a minute later)"
    )
    for when, figures in (("idle", idle_memory), (busy, busy_memory)):
        print(
            f"| {when} | {figures['VmRSS']} kB | {figures['Pss']} kB | {figures['Private_Dirty']} kB |"
        )
    print(f"\nStripped binary: {stripped_size(build)} bytes")


if __name__ == "__main__":
    main(sys.argv[1:])
