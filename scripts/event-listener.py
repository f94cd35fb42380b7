"""Receives GENA NOTIFY messages for a head unit.

  event-listener.py ADDRESS

Prints "listening PORT" once, then one JSON line per NOTIFY: {"sid", "seq", "properties"}.
Ends on SIGTERM.
"""
import http.server
import json
import sys
import xml.etree.ElementTree as ElementTree


class NotifyHandler(http.server.BaseHTTPRequestHandler):
    def do_NOTIFY(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        properties = {variable.tag.rsplit("}", 1)[-1]: variable.text or ""
                      for prop in ElementTree.fromstring(body) for variable in prop}
        print(json.dumps({"sid": self.headers.get("SID"), "seq": int(self.headers.get("SEQ", -1)),
                          "properties": properties}), flush=True)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer((sys.argv[1], 0), NotifyHandler)
print("listening", server.server_address[1], flush=True)
server.serve_forever()
