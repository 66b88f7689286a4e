#!/usr/bin/env python3
"""odlctl on a simulated device with 1000 old capture directories beside a
running capture and 1000 other processes: the time of `status` and of
`prune --keep 0 --dry-run`
(target: under 0.5 s each), and the CPU that a stop's wait costs while a
capture tool that ignores the kill keeps it waiting (target: under 2 % of a
core), and the wake-ups of a timed capture's guard while it waits (target:
none). Prints Markdown on standard output. Fixed counts and deadlines bound
it: about 40 s whatever the speed of what it measures.

    bench/odlctl_bench.py --build BUILD_DIR
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import device as harness  # noqa: E402

OLD_CAPTURES = 1000
FILES_EACH = 3
RUNS = 5
STOP_WAIT = 10
GUARD_WATCH = 10
# Other processes beside the device, each one more that odlctl looks at.
CROWD = 1000


def lay_out_old_captures(device):
    sensors = device.path(harness.SENSORS)
    for index in range(OLD_CAPTURES):
        minute, second = divmod(index, 60)
        directory = f"{sensors}/odl_sns_2020_01_01_00_{minute:02}_{second:02}"
        os.makedirs(directory, exist_ok=True)
        for number in range(FILES_EACH):
            with open(f"{directory}/trcap_1_{number}.bin", "wb") as data:
                data.write(b"x" * 100)
        os.utime(directory, (0, 0))


def timed_runs(build, *args):
    """Seconds of each of RUNS runs of odlctl `args`."""
    took = []
    for _ in range(RUNS):
        began = time.monotonic()
        subprocess.run([os.path.join(build, "odlctl"), *args], capture_output=True, timeout=60)
        took.append(time.monotonic() - began)
    return took


def stop_wait_cpu(build, device):
    """CPU seconds and wall seconds of a stop that waits STOP_WAIT s for a tool that ignores the kill."""
    command = [
        os.path.join(build, "odlctl"),
        "--root",
        device.root,
        "--wait",
        str(STOP_WAIT),
        "stop",
    ]
    began = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_utime + usage.ru_stime, time.monotonic() - began


def guard_wake_ups(build, device):
    """Context switches of a background capture's guard over GUARD_WATCH seconds of its wait."""
    command = [os.path.join(build, "odlctl"), "--root", device.root, "start", "--for", "60"]
    started = subprocess.run([*command, "--background"], capture_output=True, text=True, timeout=60)
    guard = started.stdout.split()[-1]
    status = f"/proc/{guard}/status"
    names = ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")
    before = sum(harness.proc_figure(status, name) for name in names)
    time.sleep(GUARD_WATCH)
    woken = sum(harness.proc_figure(status, name) for name in names) - before
    # Another controller's stop ends the capture and the guard with it.
    subprocess.run(command[:3] + ["--wait", "1", "stop"], capture_output=True, timeout=60)
    return woken


def main(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--build", required=True, help="build directory with odlctl and trcap-sim")
    build = os.path.abspath(parser.parse_args(argv).build)
    props = ["sim.trcap.ignore_kill=true"]
    with harness.Device(props=props, build=build) as device:
        device.wait_for(harness.WATCHING, timeout=60)
        lay_out_old_captures(device)
        crowd = [subprocess.Popen(["sleep", "300"]) for _ in range(CROWD)]
        started = subprocess.run(
            [os.path.join(build, "odlctl"), "--root", device.root, "start"],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert started.returncode == 0, started.stderr
        status = timed_runs(build, "--root", device.root, "status")
        prune = timed_runs(build, "--root", device.root, "prune", "--keep", "0", "--dry-run")
        cpu, wall = stop_wait_cpu(build, device)
        wake_ups = guard_wake_ups(build, device)
        for process in crowd:
            process.kill()
            process.wait()
    print("### odlctl\n")
    print(
        f"{OLD_CAPTURES} old capture directories of {FILES_EACH} files beside a running capture "
        f"and {CROWD} other processes; "
        f"{RUNS} runs each, target under 0.5 s:\n"
    )
    print("| command | median | slowest |")
    print("|---|---|---|")
    for name, took in (("status", status), ("prune --keep 0 --dry-run", prune)):
        print(f"| `{name}` | {statistics.median(took):.3f} s | {max(took):.3f} s |")
    print(
        f"\nA stop's wait for a capture tool that ignores the kill: {cpu:.3f} s of CPU in "
        f"{wall:.1f} s, {100 * cpu / wall:.2f} % of a core (target under 2 %).\n"
    )
    print(f"A guard's wait: {wake_ups} wake-ups in {GUARD_WATCH} s (target: none).\n")


if __name__ == "__main__":
    main(sys.argv[1:])
