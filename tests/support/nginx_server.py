#!/usr/bin/python3
"""Debian's nginx serving a directory on a loopback port, for tests.

Usage: nginx_server.py --root DIR --work DIR [--cert PEM --key PEM] [--server-text TEXT]

Finds a free port on 127.0.0.1, starts nginx there (one process, in the
foreground, as its child, which dies with it) and prints the port on stdout
as one line once nginx answers. With --cert and --key it speaks TLS.
--server-text is added inside the server block (extra locations). Killing
this process stops the server; --work holds its configuration, logs and
temporary files.
"""

import argparse
import ctypes
import os
import signal
import socket
import subprocess
import sys
import time

NGINX = "/usr/sbin/nginx"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--server-text", default="")
    args = parser.parse_args()

    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()

    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    tls = ""
    if args.cert:
        tls = f"ssl_certificate {args.cert};\n        ssl_certificate_key {args.key};"
    listen = f"127.0.0.1:{port}" + (" ssl" if args.cert else "")
    config = f"""
daemon off;
master_process off;
error_log {work}/error.log warn;
pid {work}/nginx.pid;
events {{ worker_connections 256; }}
http {{
    access_log {work}/access.log;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {{
        listen {listen};
        {tls}
        root {os.path.abspath(args.root)};
        {args.server_text}
    }}
}}
"""
    path = os.path.join(work, "nginx.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write(config)
    libc = ctypes.CDLL(None)
    server = subprocess.Popen(
        [NGINX, "-p", work, "-c", path, "-e", os.path.join(work, "error.log")],
        preexec_fn=lambda: libc.prctl(1, signal.SIGKILL),  # PR_SET_PDEATHSIG
        stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and server.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.02)
    if server.poll() is not None:
        return 1
    print(port, flush=True)
    return server.wait()


if __name__ == "__main__":
    sys.exit(main())
