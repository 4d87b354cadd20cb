#!/usr/bin/python3
"""A mirror of an update directory over HTTP on loopback, with injected faults.

Usage: mirror_server.py --root DIR [--record FILE] [--fault KIND:NAME[:ARG]]...

Binds an ephemeral port on 127.0.0.1, prints it on stdout as one line and
serves GET and HEAD of the files under DIR (Range "bytes=N-" answered with
206) until it is killed. With --record, each request is appended to FILE as
"METHOD PATH RANGE" (RANGE "-" when none). Faults, for the file NAME ("*":
every file):
  status:NAME:CODE      answer CODE with an empty body
  drop:NAME:BYTES       the first full request gets BYTES of the body, then
                        the connection closes
  stall:NAME:BYTES      every request gets BYTES of the body, then nothing
                        more while the connection stays open
  stallonce:NAME:BYTES  the same for the first full request only
  norange:NAME          Range is ignored: always 200 with the whole file
  shift:NAME:BYTES      a Range is answered (206) from BYTES further into the
                        file than asked, and Content-Range says so
  tamper:NAME[:OFFSET]  one byte of the body (the first, or the one at
                        OFFSET) is changed
  cut:NAME:OFFSET       every request ends at byte OFFSET of the file and the
                        connection closes (the headers announce the rest)
  redirect:NAME:COUNT   COUNT redirects (302) before the file is served
  tohttp:NAME:URL       a redirect to URL + NAME
"""

import argparse
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


def parse_faults(texts):
    faults = {}
    for text in texts:
        kind, name, *rest = text.split(":", 2)
        faults.setdefault(name, {})[kind] = rest[0] if rest else ""
    return faults


def make_handler(root, record, faults):
    lock = threading.Lock()
    dropped = set()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def _fault(self, name, kind):
            for key in (name, "*"):
                if kind in faults.get(key, {}):
                    return faults[key][kind]
            return None

        def _record(self):
            if record:
                with lock, open(record, "a", encoding="utf-8") as f:
                    f.write(f"{self.command} {self.path} {self.headers.get('Range', '-')}\n")

        def _empty(self, code, headers=()):
            self.send_response(code)
            for key, value in headers:
                self.send_header(key, value)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def do_HEAD(self):
            self._serve(False)

        def do_GET(self):
            self._serve(True)

        def _serve(self, body):
            self._record()
            url = urlsplit(self.path)
            name = unquote(url.path).lstrip("/")
            status = self._fault(name, "status")
            if status:
                return self._empty(int(status))
            target = self._fault(name, "tohttp")
            if target is not None:
                return self._empty(302, [("Location", target + name)])
            redirects = self._fault(name, "redirect")
            done = int(url.query[2:]) if url.query.startswith("r=") else 0
            if redirects is not None and done < int(redirects):
                return self._empty(302, [("Location", f"/{name}?r={done + 1}")])
            path = os.path.join(root, name)
            if not name or ".." in name.split("/") or not os.path.isfile(path):
                return self._empty(404)
            with open(path, "rb") as f:
                data = f.read()
            tamper = self._fault(name, "tamper")
            if tamper is not None and data:
                at = min(int(tamper or 0), len(data) - 1)
                data = data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]
            start = 0
            wanted = self.headers.get("Range", "")
            if wanted.startswith("bytes=") and self._fault(name, "norange") is None:
                start = int(wanted[6:].split("-")[0])
                start = min(start + int(self._fault(name, "shift") or 0), len(data))
            if start:
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")
            else:
                self.send_response(200)
            part = data[start:]
            self.send_header("Content-Length", str(len(part)))
            self.end_headers()
            if not body:
                return
            cut = self._fault(name, "cut")
            if cut is not None:
                self.wfile.write(part[: max(0, int(cut) - start)])
                self.wfile.flush()
                self.close_connection = True
                return
            drop = self._fault(name, "drop")
            stall = self._fault(name, "stall")
            once = self._fault(name, "stallonce")
            with lock:
                first = start == 0 and name not in dropped
                if first and (drop is not None or once is not None):
                    dropped.add(name)
            if first and once is not None:
                stall = once
            elif first and drop is not None:
                self.wfile.write(part[: int(drop)])
                self.wfile.flush()
                self.close_connection = True
                return
            if stall is not None:
                self.wfile.write(part[: int(stall)])
                self.wfile.flush()
                time.sleep(3600)
            self.wfile.write(part)

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--record")
    parser.add_argument("--fault", action="append", default=[])
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), make_handler(
        os.path.abspath(args.root), args.record, parse_faults(args.fault)))
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
