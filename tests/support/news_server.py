#!/usr/bin/python3
"""A small HTTP server on loopback that answers the launcher's news request.

Usage: news_server.py --page FILE [--host 127.0.0.1] [--record FILE] [--static DIR]

Binds an ephemeral port on --host, prints it on stdout as one line and serves
until it is killed. Every request (GET or POST, any path) is answered with the
page FILE as text/html; UTF-8; paths under /static/ are served from --static.
With --record, each request is appended to FILE as one JSON line:
{"method", "path", "headers": {name: value}, "body_hex", "time"} (time: seconds
since the epoch when the request arrived).
"""

import argparse
import json
import mimetypes
import os
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def make_handler(page, record, static):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, fmt, *args):
            pass

        def _record(self, body):
            if not record:
                return
            entry = {
                "method": self.command,
                "path": self.path,
                "headers": {k: v for k, v in self.headers.items()},
                "body_hex": body.hex(),
                "time": time.time(),
            }
            with open(record, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")

        def _answer(self, body):
            self._record(body)
            if static and self.path.startswith("/static/"):
                name = os.path.basename(self.path.split("?")[0])
                path = os.path.join(static, name)
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        data = f.read()
                    kind = mimetypes.guess_type(path)[0] or "application/octet-stream"
                    return self._send(200, kind, data)
                return self._send(404, "text/plain", b"not found")
            with open(page, "rb") as f:
                data = f.read()
            self._send(200, "text/html; charset=utf-8", data)

        def _send(self, status, kind, data):
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            self._answer(b"")

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            self._answer(self.rfile.read(length) if length else b"")

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--record")
    parser.add_argument("--static")
    args = parser.parse_args()
    server = ThreadingHTTPServer((args.host, 0), make_handler(args.page, args.record, args.static))
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()
