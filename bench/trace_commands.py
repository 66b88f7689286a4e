#!/usr/bin/env python3
"""Where the command latency goes: runs the daemon and the floor side by side
as bench/e2e_bench.py does (one device each, the smallest capture tool
stand-in), records the scheduler's events and a few user-space probes with
perf, and prints per command the median time of each step from the write into
the command file to the capture tool's trace line, daemon beside floor.

Needs root and Debian's linux-perf (x86-64 host). The probes are on the
daemon's own functions (on the device's copy of the binary) and on the C
library's system(); each costs a few microseconds, so the steps add up to a
little more than bench/e2e_bench.py measures; --no-probes leaves them out.

    bench/trace_commands.py --build BUILD_DIR [--samples N] [--no-probes]
"""
import argparse
import bisect
import contextlib
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import e2e_bench as bench

LIBC = "/lib/x86_64-linux-gnu/libc.so.6"
# Daemon functions probed, by their mangled names, and the step each one starts.
PROBES = {
    "_Z13handle_eventsi": "handle_events",
    "_Z16get_odl_commandsB5cxx11v": "get_odl_commands",
    "_Z16get_odl_commandsB5cxx11v%return": "get_odl_commands returned",
    "_Z15sns_log_messageiPKcz": "log call",
    "_Z15sns_log_messageiPKcz%return": "log call returned",
}
SCHED = [
    "sched:sched_switch",
    "sched:sched_wakeup",
    "sched:sched_process_fork",
    "sched:sched_process_exec",
]
EVENT = re.compile(r"\s*(\S.*?)\s+(\d+)/(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+(\S+):\s*(.*)")


def perf(*args):
    return subprocess.run(["perf", *args], capture_output=True, text=True, check=True).stdout


def add_probes(daemon_binary):
    for symbol in PROBES:
        perf("probe", "-q", "-x", daemon_binary, "--no-demangle", "-a", symbol)
    perf("probe", "-q", "-x", LIBC, "-a", "__libc_system")


def remove_probes():
    """Removes this script's probes, left over from an interrupted run too."""
    names = ["probe_sensordaemon:" + symbol.replace("%return", "__return") for symbol in PROBES]
    for name in names + ["probe_libc:__libc_system"]:
        subprocess.run(["perf", "probe", "-q", "-d", name], capture_output=True, check=False)


def events(data):
    """(time, pid, tid, event name, rest) of every recorded event, in time order."""
    found = []
    for line in perf("script", "-i", data, "-F", "comm,pid,tid,cpu,time,event,trace").splitlines():
        match = EVENT.match(line)
        if match:
            found.append((float(match[5]), int(match[2]), int(match[3]), match[6], match[7]))
    return sorted(found)


def step_name(event, rest):
    if event.startswith("probe_sensordaemon:"):
        return PROBES[event.split(":", 1)[1].replace("__return", "%return")]
    if event == "probe_libc:__libc_system":
        return "system()"
    if event == "sched:sched_process_fork":
        return "shell forked" if "comm=sh " in rest else "clone"
    if event == "sched:sched_process_exec":
        return "/bin/sh exec'd" if "filename=/bin/sh" in rest else "tool exec'd"
    return None


def marks(all_events, times, pid, tids, written, traced):
    """The steps of one sample, (name, time) from the write to the trace line,
    and the thread woken. Probes that fire on another thread of the program
    (the flush task, during a stop) are named for it."""
    steps = [("write", written)]
    family = {pid}  # the program, then its shell and the shell's children
    woken = None
    for at, owner, tid, event, rest in all_events[
        bisect.bisect_left(times, written) : bisect.bisect_right(times, traced)
    ]:
        if (
            event == "sched:sched_wakeup"
            and woken is None
            and int(re.search(r" pid=(\d+)", rest)[1]) in tids
        ):
            woken = int(re.search(r" pid=(\d+)", rest)[1])
            steps.append(("woken", at))
        elif (
            event == "sched:sched_switch"
            and len(steps) == 2
            and int(re.search(r"next_pid=(\d+)", rest)[1]) == woken
        ):
            steps.append(("on a CPU", at))
        elif owner in family and len(steps) >= 3:
            name = step_name(event, rest)
            if event == "sched:sched_process_fork":
                family.add(int(re.search(r"child_pid=(\d+)", rest)[1]))
            if name is not None:
                steps.append((name if owner != pid or tid == woken else "flush task: " + name, at))
    steps.append(("trace line", traced))
    return steps, woken


def others_on_cpu(all_events, times, tids, steps):
    """Seconds that threads of the program other than the one woken held a
    CPU between its wake-up and its clone (the flush task, during a stop)."""
    woken_at = dict(steps).get("woken")
    clone_at = dict(steps).get("clone")
    if woken_at is None or clone_at is None:
        return None
    held, since = 0.0, None
    for at, _, _, event, rest in all_events[
        bisect.bisect_left(times, woken_at) : bisect.bisect_right(times, clone_at)
    ]:
        if event != "sched:sched_switch":
            continue
        if since is not None and int(re.search(r"prev_pid=(\d+)", rest)[1]) in tids:
            held, since = held + at - since, None
        if int(re.search(r"next_pid=(\d+)", rest)[1]) in tids:
            since = at
    return held


def breakdown(samples, all_events, pids, tids):
    """{(who, word): {span: [microseconds]}} over the samples whose steps all
    came, and the time other threads of the program held a CPU."""
    times = [event[0] for event in all_events]
    spans = {}
    for who, word, written, traced in samples:
        steps, woken = marks(all_events, times, pids[who], tids[who], written, traced)
        seen = {}
        for (first, start), (then, end) in zip(steps, steps[1:]):
            span = f"{first} → {then}"
            seen[span] = seen.get(span, 0) + 1
            span += f" ({seen[span]})" if seen[span] > 1 else ""
            spans.setdefault((who, word), {}).setdefault(span, []).append((end - start) * 1e6)
        held = others_on_cpu(all_events, times, tids[who] - {woken}, steps)
        if held is not None:
            spans.setdefault((who, word), {}).setdefault(
                "other threads on a CPU, woken → clone", []
            ).append(held * 1e6)
    return spans


def report(spans, samples):
    for word in ("star", "stop"):
        print(
            f"\n{word}, medians in µs ({samples} samples each; a span missing from a sample is left out):\n"
        )
        print("| daemon span | µs | floor span | µs |")
        print("|---|---|---|---|")
        daemon = list(spans.get(("daemon", word), {}).items())
        floor = list(spans.get(("floor", word), {}).items())
        for i in range(max(len(daemon), len(floor))):
            cells = []
            for rows in (daemon, floor):
                cells += (
                    [rows[i][0], f"{statistics.median(rows[i][1]):.0f} ({len(rows[i][1])})"]
                    if i < len(rows)
                    else ["", ""]
                )
            print("| " + " | ".join(cells) + " |")


def main(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--build", required=True, help="build directory with sensordaemon and bench/"
    )
    parser.add_argument(
        "--samples", type=int, default=20, help="samples of each command for daemon and floor"
    )
    parser.add_argument(
        "--no-probes", action="store_true", help="the scheduler's events only, no probe's cost"
    )
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)
    lean_tool = ("--trcap", os.path.join(build, "bench", "trcap_min"))

    with contextlib.ExitStack() as stack:
        floor_dir = bench.floor_build(build)
        stack.callback(shutil.rmtree, floor_dir)
        daemon = bench.Watcher(
            "daemon",
            stack.enter_context(bench.harness.Device(build=build, options=lean_tool)),
            bench.daemon_ready,
        )
        floor = bench.Watcher(
            "floor",
            stack.enter_context(bench.harness.Device(build=floor_dir, options=lean_tool)),
            bench.floor_ready,
        )
        daemon.device.wait_for("watching", timeout=60, accepts=bench.daemon_ready)
        floor.device.wait_for("watching", timeout=60, accepts=bench.floor_ready)
        pids = {"daemon": daemon.device.daemon_pid(), "floor": floor.device.daemon_pid()}
        tids = {
            who: {int(tid) for tid in os.listdir(f"/proc/{pid}/task")} for who, pid in pids.items()
        }
        scratch = tempfile.mkdtemp(prefix="sensors-trace.")
        stack.callback(shutil.rmtree, scratch)
        data = os.path.join(scratch, "perf.data")
        probes = []
        if not args.no_probes:
            remove_probes()
            add_probes(daemon.device.path("/vendor/bin/sensordaemon"))
            stack.callback(remove_probes)
            probes = ["-e", "probe_sensordaemon:*", "-e", "probe_libc:*"]
        recorder = subprocess.Popen(
            [
                "perf",
                "record",
                "-q",
                "-k",
                "mono",
                "-a",
                "-o",
                data,
                *probes,
                "-e",
                ",".join(SCHED),
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        stack.callback(recorder.kill)
        time.sleep(2)
        load = bench.load_average()
        bench.command_latencies([daemon, floor], args.samples)
        recorder.send_signal(signal.SIGINT)
        recorder.wait(60)
        # The first two samples of each warmed up.
        samples = [
            (watcher.who, *taken) for watcher in (daemon, floor) for taken in watcher.taken[2:]
        ]
        print(f"Load average {load} before, {bench.load_average()} after.")
        report(breakdown(samples, events(data), pids, tids), args.samples)


if __name__ == "__main__":
    main(sys.argv[1:])
