"""Opens COUNT connections one after another, each for one GET of URL, and prints
"<seconds> <status>:<count>,..." when done.

  churn_client.py URL COUNT hangup|close

hangup: the client closes as soon as it has the head of the answer (the server is left holding a
kept-alive connection); close: the request asks for "Connection: close" and the client reads to
the end, so the server closes first. Each connection is bounded by 2 s; after 20 failures in a
row the client stops ("gave-up" in the counts).
"""
import collections
import socket
import sys
import time
from urllib.parse import urlsplit


def one_request(host, port, path, pattern):
    with socket.create_connection((host, port), timeout=2) as connection:
        header = "Connection: close\r\n" if pattern == "close" else ""
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n{header}\r\n".encode())
        answer = b""
        while b"\r\n\r\n" not in answer or pattern == "close":
            chunk = connection.recv(65536)
            if not chunk:
                break
            answer += chunk
        return answer.split(b" ", 2)[1].decode() if answer.startswith(b"HTTP/") else "none"


def main():
    url, count, pattern = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    parts = urlsplit(url)
    statuses = collections.Counter()
    started = time.monotonic()
    failures_in_a_row = 0
    for _ in range(count):
        try:
            statuses[one_request(parts.hostname, parts.port, parts.path, pattern)] += 1
            failures_in_a_row = 0
        except OSError as error:
            statuses[type(error).__name__] += 1
            failures_in_a_row += 1
            if failures_in_a_row == 20:
                statuses["gave-up"] += 1
                break
    elapsed = time.monotonic() - started
    print(f"{elapsed:.3f} " + ",".join(f"{k}:{v}" for k, v in sorted(statuses.items())), flush=True)


main()
