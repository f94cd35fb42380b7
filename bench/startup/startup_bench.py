"""Start-up figures of the daemon on a private veth link, printed as min / median / max over N runs:

  - the time from starting the daemon to the first SSDP NOTIFY, and to the first ssdp:alive, seen
    on the head unit's end of the link (the clock starts when the daemon is spawned through
    "ip netns exec"; GSSDP sends a round of ssdp:byebye, 120 ms apart, before the first alive);
  - its resident memory once it has settled;
  - the CPU time it uses while idle.

Each scenario runs with private session and system buses: one with nothing on the system bus, one
with a BlueZ that owns org.bluez but never answers. A warm-up start that is not counted writes the
handset's identity into the template, so the runs measure ordinary restarts. Needs root and a
staged installation ("cmake --install").
"""
import argparse
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "integration"))
import testbed  # noqa: E402

HEADUNIT_ADDRESS = "10.77.0.2"


def silent_bluez(bed):
    process = bed.start_process([sys.executable, str(HERE / "silent_bluez.py")])
    if not testbed.wait_until(lambda: bed.name_has_owner("org.bluez", bed.system_bus), 10):
        raise RuntimeError("the silent BlueZ did not take its name")
    return process


SCENARIOS = {
    "no BlueZ": lambda bed: None,
    "silent BlueZ": silent_bluez,
}


def first_notify_after_start(bed, timeout):
    """Starts the daemon; returns it and the seconds until the head unit saw its first NOTIFY and
    its first ssdp:alive."""
    listener = subprocess.Popen(
        bed.in_headunit(sys.executable, str(HERE / "notify_listener.py"), HEADUNIT_ADDRESS, str(timeout)),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        if testbed.read_line(listener.stdout, 10) != "ready":
            raise RuntimeError("the NOTIFY listener did not start")
        started = time.monotonic()
        daemon = bed.start_daemon("-i", "usb0")
        arrived = testbed.read_line(listener.stdout, timeout + 5)
    finally:
        listener.wait(timeout + 10)
        listener.stdout.close()
    if not arrived:
        raise RuntimeError(f"no ssdp:alive within {timeout} s:\n{daemon.log()}")
    first_notify, first_alive = (float(time_text) - started for time_text in arrived.split())
    return daemon, first_notify, first_alive


def measure_run(bed, settle, idle):
    daemon, to_notify, to_alive = first_notify_after_start(bed, timeout=60)
    time.sleep(settle)
    rss_kib = daemon.status_field_kib("VmRSS")
    cpu_before = daemon.cpu_seconds()
    time.sleep(idle)
    idle_cpu = daemon.cpu_seconds() - cpu_before
    if daemon.stop(signal.SIGTERM) != 0:
        raise RuntimeError(f"the daemon did not end cleanly:\n{daemon.log()}")
    return {"to_notify": to_notify, "to_alive": to_alive, "rss_kib": rss_kib, "idle_cpu": idle_cpu}


def run_scenario(arrange, options, install):
    with testbed.Testbed("bs", options.daemon) as bed:
        arrange(bed)
        measure_run(bed, settle=0, idle=0)
        runs = [measure_run(bed, options.settle, options.idle) for _ in range(options.runs)]
    install.restore_template()
    return runs


def print_figures(name, runs, idle):
    rows = (
        ("start to first NOTIFY", "ms", [run["to_notify"] * 1000 for run in runs]),
        ("start to first ssdp:alive", "ms", [run["to_alive"] * 1000 for run in runs]),
        ("idle RSS", "MiB", [run["rss_kib"] / 1024 for run in runs]),
        (f"CPU while idle {idle:g} s", "µs", [run["idle_cpu"] * 1e6 for run in runs]),
    )
    print(f"{name} ({len(runs)} runs)")
    for label, unit, values in rows:
        print(f"  {label:<26} min {min(values):8.1f}  median {statistics.median(values):8.1f}"
              f"  max {max(values):8.1f} {unit}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--install-dir", required=True)
    parser.add_argument("--template", required=True, help="the pristine description template")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--settle", type=float, default=2.0, help="seconds after the first NOTIFY before measuring")
    parser.add_argument("--idle", type=float, default=5.0, help="seconds of idle CPU measurement")
    options = parser.parse_args()
    install = testbed.InstallTree(options.install_dir, options.template)
    install.restore_template()
    for name, arrange in SCENARIOS.items():
        print_figures(name, run_scenario(arrange, options, install), options.idle)


if __name__ == "__main__":
    main()
