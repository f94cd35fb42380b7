"""Start-up figures of the daemon on a private veth link, printed as min / median / max over N runs:

  - the time from starting the daemon to the first SSDP NOTIFY, and to the first ssdp:alive, seen
    on the head unit's end of the link (the clock starts when the daemon is spawned through
    "ip netns exec"; GSSDP sends a round of ssdp:byebye before the first alive);
  - the time from starting the daemon to the first answer to a head unit that searches every
    250 ms (MX=1), and to its having fetched the description;
  - the time from giving usb0 its address back, after it was taken away, to the first ssdp:alive;
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
    return bed.start_service([sys.executable, str(HERE / "silent_bluez.py")], "org.bluez", bed.system_bus)


SCENARIOS = {
    "no BlueZ": lambda bed: None,
    "silent BlueZ": silent_bluez,
}


def head_unit_times(bed, script, action, timeout):
    """Starts a head-unit script, runs action once the script is ready; returns what action returned
    and the script's times in seconds after action began, or None if the script saw nothing."""
    watcher = subprocess.Popen(
        bed.in_headunit(sys.executable, str(HERE / script), HEADUNIT_ADDRESS, str(timeout)),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        if testbed.read_line(watcher.stdout, 10) != "ready":
            raise RuntimeError(f"{script} did not start")
        started = time.monotonic()
        result = action()
        arrived = testbed.read_line(watcher.stdout, timeout + 5)
    finally:
        watcher.wait(timeout + 10)
        watcher.stdout.close()
    return result, [float(time_text) - started for time_text in arrived.split()] if arrived else None


def handset_address(bed, verb):
    subprocess.run(["ip", "-n", bed.handset, "addr", verb, f"{testbed.HANDSET_ADDRESS}/24", "dev", "usb0"],
                   check=True, timeout=10)


def measure_run(bed, settle, idle):
    start = lambda: bed.start_daemon("-i", "usb0")  # noqa: E731
    daemon, (to_notify, to_alive) = head_unit_times(bed, "notify_listener.py", start, 60)
    time.sleep(settle)
    rss_kib = daemon.status_field_kib("VmRSS")
    cpu_before = daemon.cpu_seconds()
    time.sleep(idle)
    idle_cpu = daemon.cpu_seconds() - cpu_before
    handset_address(bed, "del")
    time.sleep(0.5)
    _, link_back = head_unit_times(bed, "notify_listener.py", lambda: handset_address(bed, "add"), 5)
    if daemon.stop(signal.SIGTERM) != 0:
        raise RuntimeError(f"the daemon did not end cleanly:\n{daemon.log()}")
    daemon, found = head_unit_times(bed, "search_fetch.py", start, 30)
    daemon.stop(signal.SIGTERM)
    return {"to_notify": to_notify, "to_alive": to_alive, "rss_kib": rss_kib, "idle_cpu": idle_cpu,
            "link_back": link_back[1] if link_back else None, "to_answer": found[0] if found else None,
            "to_description": found[1] if found else None}


def run_scenario(arrange, options, install):
    with testbed.Testbed("bs", options.daemon) as bed:
        arrange(bed)
        measure_run(bed, settle=0, idle=0)
        runs = [measure_run(bed, options.settle, options.idle) for _ in range(options.runs)]
    install.restore_template()
    return runs


def print_figures(name, runs, idle):
    rows = (
        ("start to first NOTIFY", "to_notify", "ms", 1000),
        ("start to first ssdp:alive", "to_alive", "ms", 1000),
        ("start to search answer", "to_answer", "ms", 1000),
        ("start to description", "to_description", "ms", 1000),
        ("address back to ssdp:alive", "link_back", "ms", 1000),
        ("idle RSS", "rss_kib", "MiB", 1 / 1024),
        (f"CPU while idle {idle:g} s", "idle_cpu", "µs", 1e6),
    )
    print(f"{name} ({len(runs)} runs)")
    for label, key, unit, scale in rows:
        values = [run[key] * scale for run in runs if run[key] is not None]
        missing = f"  ({len(runs) - len(values)} runs saw none)" if len(values) < len(runs) else ""
        if values:
            print(f"  {label:<26} min {min(values):8.1f}  median {statistics.median(values):8.1f}"
                  f"  max {max(values):8.1f} {unit}{missing}")
        else:
            print(f"  {label:<26} none{missing}")


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
