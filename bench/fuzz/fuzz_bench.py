"""Runs the seeded mutation fuzzer against the daemon on a private veth link and prints the cases
sent, the answers by status, the daemon's RSS growth and the bytes it wrote to its log, and whether
it still answers a well-formed request afterwards. Needs root and a staged installation.
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


def rss_kib(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return int(next(line for line in status.splitlines() if line.startswith("VmRSS:")).split()[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--install-dir", required=True)
    parser.add_argument("--template", required=True)
    parser.add_argument("--cases", type=int, default=50000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--show-log", action="store_true")
    options = parser.parse_args()
    install = testbed.InstallTree(options.install_dir, options.template)
    install.restore_template()
    try:
        with testbed.Testbed("fz", options.daemon) as bed:
            bed.start_fake_backend()
            daemon = bed.start_daemon("-i", "usb0")
            port = daemon.wait_listening()
            location = bed.sole_root_device(daemon)
            rss, log_bytes, started = rss_kib(daemon.pid), len(daemon.log().encode()), time.monotonic()
            answers = subprocess.run(
                bed.in_headunit(sys.executable, str(HERE / "fuzz_client.py"), str(options.seed), str(options.cases),
                                testbed.HANDSET_ADDRESS, str(port), HEADUNIT_ADDRESS),
                capture_output=True, text=True, timeout=options.cases + 60)
            if answers.returncode:
                raise RuntimeError(answers.stderr)
            answers = answers.stdout.strip()
            seconds = time.monotonic() - started
            print(f"cases: {options.cases} (seed {options.seed}) in {seconds:.1f} s")
            print(f"answers: {answers}")
            print(f"RSS: {rss} -> {rss_kib(daemon.pid)} KiB")
            print(f"log bytes written: {len(daemon.log().encode()) - log_bytes}")
            print(f"still answering: {bed.curl(location)[0] == 200 and daemon.running()}")
            if options.show_log:
                print(daemon.log())
    finally:
        install.restore_template()


main()
