"""Connection churn: open file descriptors, resident memory and requests per second of the daemon
and of a bare GUPnP device (no code of ours) over many short connections, printed as a table.

Patterns: "hangup", the head unit closes after the head of each answer (the server holds a
kept-alive connection when it does); "close", each request asks for "Connection: close", so the
server closes first. Each pattern gets a warm-up of 1,000 connections, then --count more; every
target also runs under a limit of 1,024 open files. Needs root and a staged installation.
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "integration"))
import testbed  # noqa: E402

WARM_UP = 1000
# The server-closes pattern first: a device that leaks hung-up connections is dead after the other.
PATTERNS = ("close", "hangup")


def descriptors(pid):
    return len(list(Path(f"/proc/{pid}/fd").iterdir()))


def rss_kib(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmRSS:")).split()[1])


def churn(bed, url, count, pattern):
    result = subprocess.run(bed.in_headunit(sys.executable, str(HERE / "churn_client.py"), url, str(count), pattern),
                            capture_output=True, text=True, timeout=count * 0.01 + 120).stdout.split()
    return float(result[0]), result[1]


def start_daemon(bed, options):
    daemon = bed.start_daemon("-i", "usb0")
    daemon.wait_listening()
    return daemon.pid, bed.sole_root_device(daemon)


def start_bare_device(bed, options):
    process = subprocess.Popen(["ip", "netns", "exec", bed.handset, options.floor, "usb0", "0", options.install_dir],
                               env=bed.environment(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    bed.processes.append(process)
    location = testbed.read_line(process.stdout, 15)
    if not location:
        raise RuntimeError("the bare device did not start")
    return process.pid, location


TARGETS = {"daemon": start_daemon, "bare GUPnP device": start_bare_device}


def measure(options, target, limit):
    with testbed.Testbed("ch", options.daemon) as bed:
        subprocess.run(bed.in_headunit("sysctl", "-qw", "net.ipv4.tcp_tw_reuse=1",
                                       "net.ipv4.ip_local_port_range=1024 65000"), check=True)
        bed.start_fake_backend()
        pid, url = TARGETS[target](bed, options)
        if limit:
            subprocess.run(["prlimit", f"--pid={pid}", f"--nofile={limit}:{limit}"], check=True)
        for pattern in PATTERNS:
            churn(bed, url, WARM_UP, pattern)
            time.sleep(0.5)
            fds, rss = descriptors(pid), rss_kib(pid)
            seconds, answers = churn(bed, url, options.count, pattern)
            time.sleep(1)
            print(f"| {target} | {limit or 'default'} | {pattern} | {fds} → {descriptors(pid)} | "
                  f"{rss} → {rss_kib(pid)} ({rss_kib(pid) - rss:+d}) | {options.count / seconds:.0f} | {answers} |",
                  flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--floor", required=True, help="the bare GUPnP device (tmbench_floor)")
    parser.add_argument("--install-dir", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--count", type=int, default=50000)
    options = parser.parse_args()
    install = testbed.InstallTree(options.install_dir, options.template)
    print(f"{options.count} connections a pattern after {WARM_UP} to warm up\n")
    print("| target | open-file limit | pattern | open fds | RSS KiB | requests/s | answers |")
    print("|---|---|---|---|---|---|---|")
    try:
        for target in TARGETS:
            for limit in (None, 1024):
                install.restore_template()
                measure(options, target, limit)
    finally:
        install.restore_template()


main()
