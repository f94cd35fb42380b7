"""Receives GENA NOTIFY messages for a head unit.

  event-listener.py ADDRESS

Prints "listening PORT" once, then one JSON line per NOTIFY: {"sid", "seq", "properties"}.
Ends on SIGTERM. Each connection is served on its own and given up after a few seconds of silence:
a sender whose address vanished mid-request (a replug, a new address) never sends the rest, and
must not hold up the NOTIFYs of the others.
"""
import http.server
import json
import sys
import threading
import xml.etree.ElementTree as ElementTree

printing = threading.Lock()


class NotifyHandler(http.server.BaseHTTPRequestHandler):
    timeout = 5

    def do_NOTIFY(self):
        try:
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            event = {"sid": self.headers.get("SID"), "seq": int(self.headers.get("SEQ", -1)),
                     "properties": {variable.tag.rsplit("}", 1)[-1]: variable.text or ""
                                    for prop in ElementTree.fromstring(body) for variable in prop}}
        except (OSError, ValueError, ElementTree.ParseError):
            self.send_error(400)
            return
        # Answered first, so that a printed event is an answered one; under the lock, so that the next
        # NOTIFY, sent once this one is answered, is printed after it.
        with printing:
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()
            print(json.dumps(event), flush=True)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer((sys.argv[1], 0), NotifyHandler)
print("listening", server.server_address[1], flush=True)
server.serve_forever()
