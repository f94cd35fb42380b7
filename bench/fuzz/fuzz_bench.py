"""Runs the seeded mutation fuzzer against the daemon (under fatal criticals) on a private veth link
and prints the cases sent, the answers by status, the cases without an answer by cause, the daemon's
RSS growth after a warm-up and the bytes it wrote to its log, and whether it still answers a
well-formed request, SUBSCRIBE and action afterwards. Needs root and a staged installation.
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "integration"))
import testbed  # noqa: E402

HEADUNIT_ADDRESS = "10.77.0.2"
APP_SERVER = "urn:schemas-upnp-org:service:TmApplicationServer:1"


def rss_kib(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmRSS:")).split()[1])


def run_client(bed, port, seed, cases, kinds):
    client = subprocess.run(bed.in_headunit(sys.executable, str(HERE / "fuzz_client.py"), str(seed), str(cases),
                                            testbed.HANDSET_ADDRESS, str(port), HEADUNIT_ADDRESS, kinds),
                            capture_output=True, text=True, timeout=cases + 60)
    if client.returncode:
        raise RuntimeError(client.stderr)
    return client.stdout.splitlines()


def still_served(bed, daemon, port, location):
    """The statuses of a well-formed description fetch, SUBSCRIBE and action."""
    base = f"http://{testbed.HANDSET_ADDRESS}:{port}"
    request = bed.directory / "action"
    request.write_bytes(testbed.soap.envelope(APP_SERVER, "GetApplicationStatus", {"AppID": "1"}))
    action = bed.curl(f"{base}/control/TmApplicationServer1",
                      *testbed.soap.curl_options(APP_SERVER, "GetApplicationStatus", request))[0]
    subscribe = bed.curl(f"{base}/event/TmClientProfile1", "-X", "SUBSCRIBE", "-H", "NT: upnp:event",
                         "-H", f"CALLBACK: <http://{HEADUNIT_ADDRESS}:9/>")[0]
    return {"description": bed.curl(location)[0], "SUBSCRIBE": subscribe, "action": action,
            "running": daemon.running()}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--install-dir", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--cases", type=int, default=50000)
    parser.add_argument("--warm-up", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--kinds", default="gena,http,m-search,soap", help="the seed requests to mutate")
    parser.add_argument("--show-log", action="store_true")
    options = parser.parse_args()
    install = testbed.InstallTree(options.install_dir, options.template)
    install.restore_template()
    try:
        with testbed.Testbed("fz", options.daemon) as bed:
            bed.start_fake_backend()
            # A library's failed precondition ends the run.
            daemon = bed.start_daemon("-i", "usb0", env={"G_DEBUG": "fatal-criticals"})
            port = daemon.wait_listening()
            location = bed.sole_root_device(daemon)
            # One connection a case, more than the ports that TIME_WAIT leaves free in a minute.
            subprocess.run(bed.in_headunit("sysctl", "-q", "-w", "net.ipv4.tcp_tw_reuse=1",
                                           "net.ipv4.ip_local_port_range=1024 65000"), check=True)
            run_client(bed, port, options.seed + 1, options.warm_up, options.kinds)
            rss, log_bytes, started = rss_kib(daemon.pid), len(daemon.log().encode()), time.monotonic()
            descriptors = len(list(Path(f"/proc/{daemon.pid}/fd").iterdir()))
            answers, causes, unexplained = run_client(bed, port, options.seed, options.cases, options.kinds)
            seconds = time.monotonic() - started
            print(f"cases: {options.cases} (seed {options.seed}) in {seconds:.1f} s, after {options.warm_up} to warm up")
            print(f"answers: {answers}")
            print(f"no answer, by seed and cause: {causes}")
            if unexplained != "{}":
                print(f"unexplained examples: {unexplained}")
            after = rss_kib(daemon.pid)
            print(f"RSS after the warm-up: {rss} -> {after} KiB ({(after - rss) / 1024:+.1f} MiB)")
            print(f"descriptors: {descriptors} -> {len(list(Path(f'/proc/{daemon.pid}/fd').iterdir()))}")
            print(f"log bytes written: {len(daemon.log().encode()) - log_bytes}")
            print(f"still served: {still_served(bed, daemon, port, location)}")
            if options.show_log or not daemon.running():
                print(daemon.log())
    finally:
        install.restore_template()


main()
