"""What a hostile or broken head unit costs the daemon: for each load, run from the head unit's
namespace against a freshly started daemon, its peak RSS against its idle RSS, its CPU while the load
only waits, and how long normal GetApplicationStatus calls take during and after the load, printed
as a Markdown table beside the targets. Needs root and a staged installation.
"""
import argparse
import json
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "integration"))
import testbed  # noqa: E402

LOADS = {
    "subscribe-flood": "5,000 SUBSCRIBEs to dead callbacks, then a change",
    "burst": "53 signals at once to a live subscriber",
    "stalled-peer": "2 × 20 values 100 ms apart, a stalled subscriber beside a live one",
    "dead-callbacks": "32 subscriptions to dead callbacks, then a live one",
    "signal-storm": "5,000 back-end signals to 8 subscribers that never answer and a live one",
    "idle-connections": "1,100 idle connections",
    "slow-headers": "200 slow-header connections, 30 s",
    "abandoned-actions": "50 actions abandoned mid-call",
    "big-body-expect": "50 MiB body, Expect: 100-continue",
    "big-body": "50 MiB body, no Expect",
}
RSS_TARGET_KIB, CPU_TARGET, CALL_TARGET_MS = 5 * 1024, 5.0, 50.0
CLIENT_TIMEOUT = 300


def calls_cell(durations):
    answered = [d for d in durations if d is not None]
    if not answered:
        return f"all {len(durations)} failed"
    cell = f"{statistics.median(answered):.1f} / {max(answered):.1f}"
    return cell if len(answered) == len(durations) else f"{cell}, {len(durations) - len(answered)} failed"


def calls_pass(durations):
    return bool(durations) and all(d is not None and d <= CALL_TARGET_MS for d in durations)


def row(description, result, still_running):
    growth = result["peak_kib"] - result["idle_kib"]
    cpu = result["cpu"]
    misses = [what for what, passed in (("RSS", growth <= RSS_TARGET_KIB), ("CPU", cpu is None or cpu < CPU_TARGET),
                                        ("calls during", calls_pass(result["during"])),
                                        ("calls after", calls_pass(result["after"])),
                                        ("daemon exited", still_running)) if not passed]
    misses += result.get("misses", [])
    cpu_cell = f"{cpu:.1f} ({result['cpu_window']})" if cpu is not None else f"— ({result['cpu_window']})"
    return (f"| {description} | {result['outcome']} | {result['idle_kib'] / 1024:.1f} → "
            f"{result['peak_kib'] / 1024:.1f} ({growth / 1024:+.1f}) | {cpu_cell} | {calls_cell(result['during'])} | "
            f"{calls_cell(result['after'])} | {'pass' if not misses else 'miss: ' + ', '.join(misses)} |")


def run_load(bed, load):
    daemon = bed.start_daemon("-i", "usb0")
    port = daemon.wait_listening()
    try:
        client = subprocess.run(bed.in_headunit(sys.executable, "-B", str(HERE / "hostile_client.py"), load,
                                                str(daemon.pid), str(port), bed.session_bus),
                                capture_output=True, text=True, timeout=CLIENT_TIMEOUT)
        if client.returncode:
            raise RuntimeError(f"{load}: {client.stderr}")
        return json.loads(client.stdout), daemon.running()
    finally:
        daemon.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--install-dir", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--load", action="append", choices=LOADS, help="only these loads (default: all)")
    options = parser.parse_args()
    install = testbed.InstallTree(options.install_dir, options.template)
    print(f"Targets: RSS within +{RSS_TARGET_KIB // 1024} MiB of idle, CPU under {CPU_TARGET:.0f} % of one core "
          f"while the load only waits, every normal call answered within {CALL_TARGET_MS:.0f} ms during and after.\n"
          f"Calls: GetApplicationStatus on a new connection each, median / max ms of up to 5.\n")
    print("| load | outcome | RSS MiB idle → peak (growth) | CPU % of a core (window) | calls during ms | "
          "calls after ms | targets |")
    print("|---|---|---|---|---|---|---|", flush=True)
    with testbed.Testbed("hb", options.daemon, install) as bed:
        _, fake = bed.start_fake_backend()
        for load in options.load or LOADS:
            fake.reset()
            result, still_running = run_load(bed, load)
            print(row(LOADS[load], result, still_running), flush=True)


main()
