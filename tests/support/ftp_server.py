#!/usr/bin/python3
"""A real FTP server for the engine tests (pyftpdlib), with fault injection.

Usage: ftp_server.py --root DIR --user NAME --password TEXT
                     [--host 127.0.0.1] [--control FILE] [--log FILE]
                     [--tls-cert PEM --tls-key PEM]

Binds an ephemeral port on --host and prints it on stdout as one line, then
serves until it is killed. The single virtual user sees --root as "/".

--log FILE     every command received is appended as "<connection> <VERB> <arg>"
               (PASS arguments masked), and each new control connection as
               "<connection> CONNECT".
--control FILE JSON read again at the start of every RETR:
               {"rate": bytes per second per transfer (0: unlimited),
                "faults": [{"kind": "drop" | "truncate" | "stall" | "trickle"
                                    | "overrun" | "unsized",
                            "file": base name, "after": bytes,
                            "times": how many transfers (-1: all)}]}
               A fault hits the first `times` RETRs of `file` after `after` bytes
               of that transfer: "drop" closes the data connection and answers
               426, "truncate" closes it and claims success with 226, "stall"
               stops sending and leaves the connection open, "trickle" goes on
               sending four bytes a second (enough for any no-progress rule).
               "overrun" sends the whole file and then `after` bytes more, and
               answers 226. "unsized" answers SIZE of the file with 502 instead.
               "norest" answers every REST with 502, as a server that cannot resume.
               Counters restart whenever the file's content changes.
--tls-cert, --tls-key
               explicit FTPS only: AUTH TLS before the login and protected data
               connections (PROT P) are required; faults apply as above.
"""

import argparse
import itertools
import json
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class Control:
    """The fault plan, shared by every connection of the server."""

    def __init__(self, path):
        self.path = path
        self.text = None
        self.plan = {}
        self.used = []

    def _reload(self):
        if not self.path:
            return
        try:
            with open(self.path, encoding="utf-8") as f:
                text = f.read()
        except OSError:
            return
        if text != self.text:
            self.text = text
            self.plan = json.loads(text) if text.strip() else {}
            self.used = [0] * len(self.plan.get("faults", []))

    def unsized(self, name):
        """Whether SIZE of `name` is to be refused."""
        self._reload()
        return any(f.get("kind") == "unsized" and f.get("file") == name
                   for f in self.plan.get("faults", []))

    def no_rest(self):
        """Whether REST is to be refused."""
        self._reload()
        return any(f.get("kind") == "norest" for f in self.plan.get("faults", []))

    def for_transfer(self, name):
        """The rate and the fault (or None) that the next RETR of `name` gets."""
        self._reload()
        fault = None
        for index, candidate in enumerate(self.plan.get("faults", [])):
            if candidate.get("file") != name or candidate.get("kind") in ("unsized", "norest"):
                continue
            times = candidate.get("times", -1)
            if times < 0 or self.used[index] < times:
                self.used[index] += 1
                fault = candidate
                break
        return int(self.plan.get("rate", 0)), fault


class OverrunProducer:
    """The file's data, then `extra` zero bytes more than the file holds."""

    def __init__(self, inner, extra):
        self.inner = inner
        self.extra = extra

    def more(self):
        data = self.inner.more()
        if data or self.extra <= 0:
            return data
        piece = min(self.extra, 65536)
        self.extra -= piece
        return bytes(piece)


class FaultyDTPHandler(DTPHandler):
    control = None

    def __init__(self, sock, cmd_channel):
        self._rate = 0
        self._fault = None
        self._tripped = False
        self._overrun = False
        super().__init__(sock, cmd_channel)

    def push_with_producer(self, producer):
        if self.file_obj is not None and self.control is not None:
            name = os.path.basename(self.file_obj.name)
            self._rate, self._fault = self.control.for_transfer(name)
            if self._fault is not None and self._fault.get("kind") == "overrun":
                producer = OverrunProducer(producer, int(self._fault.get("after", 0)))
                self._fault, self._overrun = None, True
        super().push_with_producer(producer)

    def use_sendfile(self):
        # Faults and pacing are applied in send(), which sendfile bypasses.
        if self._rate or self._fault or self._overrun:
            return False
        return super().use_sendfile()

    def send(self, data):
        if self._tripped:
            return 0
        if self._fault is not None:
            room = int(self._fault.get("after", 0)) - self.tot_bytes_sent
            if room <= 0 and self._fault.get("kind") == "trickle":
                sent = super().send(data[:1])
                self._pause(0.25)
                return sent
            if room <= 0:
                self._trip()
                return 0
            data = data[:room]
        if self._rate:
            data = data[:max(1, self._rate // 20)]
        sent = super().send(data)
        if self._rate and sent:
            self._pause(sent / self._rate)
        return sent

    def _pause(self, seconds):
        def resume():
            if not self._closed:
                self.add_channel(events=self.ioloop.WRITE)
        self.del_channel()
        self.ioloop.call_later(seconds, resume, _errback=self.handle_error)

    def _trip(self):
        self._tripped = True
        kind = self._fault.get("kind")
        if kind == "drop":
            self._resp = ("426 Connection closed; transfer aborted.", logging.info)
            self.close()
        elif kind == "truncate":
            self.discard_buffers()
            self.handle_close()  # nothing left to send: answers 226
        else:  # stall: keep the connection, only watch for the client leaving
            self.modify_ioloop_events(self.ioloop.READ)


class LoggingHandler(FTPHandler):
    log_path = None
    numbers = itertools.count(1)

    def on_connect(self):
        self._number = next(self.numbers)
        self._write_log("CONNECT")

    def ftp_SIZE(self, path):
        control = FaultyDTPHandler.control
        if control is not None and control.unsized(os.path.basename(path)):
            self.respond("502 Command not implemented.")
            return
        super().ftp_SIZE(path)

    def ftp_REST(self, line):
        control = FaultyDTPHandler.control
        if control is not None and control.no_rest():
            self.respond("502 Command not implemented.")
            return
        super().ftp_REST(line)

    def pre_process_command(self, line, cmd, arg):
        shown = "****" if cmd == "PASS" else (arg or "")
        self._write_log(("%s %s" % (cmd, shown)).rstrip())
        super().pre_process_command(line, cmd, arg)

    def _write_log(self, text):
        if self.log_path:
            with open(self.log_path, "a", encoding="utf-8") as log:
                log.write("%d %s\n" % (getattr(self, "_number", 0), text))


def tls_handler(certfile, keyfile):
    """LoggingHandler and FaultyDTPHandler over TLS, which they require."""
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class FaultyTLSDTPHandler(TLS_DTPHandler, FaultyDTPHandler):
        def readable(self):
            # libcurl starts a data connection's handshake before it sends
            # RETR; pyftpdlib takes a channel that is readable that early for
            # one the client has closed, and closes it.
            return self._ssl_accepting or super().readable()

    class TLSLoggingHandler(LoggingHandler, TLS_FTPHandler):
        pass

    TLSLoggingHandler.certfile = certfile
    TLSLoggingHandler.keyfile = keyfile
    TLSLoggingHandler.tls_control_required = True
    TLSLoggingHandler.tls_data_required = True
    TLSLoggingHandler.dtp_handler = FaultyTLSDTPHandler
    return TLSLoggingHandler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--control")
    parser.add_argument("--log")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()

    logging.basicConfig(level=logging.ERROR, stream=sys.stderr)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")

    FaultyDTPHandler.control = Control(args.control)
    LoggingHandler.authorizer = authorizer
    LoggingHandler.dtp_handler = FaultyDTPHandler
    LoggingHandler.log_path = args.log
    LoggingHandler.banner = "gdtest FTP server ready."
    LoggingHandler.auth_failed_timeout = 0  # tests try wrong logins on purpose
    handler = LoggingHandler
    if args.tls_cert:
        handler = tls_handler(args.tls_cert, args.tls_key)

    server = FTPServer((args.host, 0), handler)
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
