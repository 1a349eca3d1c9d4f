#!/usr/bin/env python3
"""The local update server for tests: serves a directory over HTTPS (or plain
HTTP) on loopback, with behaviours per path, and records every request.

Usage:
  server.py --root DIR --cert CERT.pem --key KEY.pem [--port N] [--bind ADDR]
            [--behaviours FILE.json] [--log FILE.jsonl] [--ready FILE] [--plain]

  --root        directory served: GET /a/b returns DIR/a/b (404 if missing)
  --port        TCP port; 0 (the default) picks a free one (see --ready)
  --bind        address to listen on, default 127.0.0.1 (loopback only)
  --cert/--key  PEM certificate chain and key (testca.py makes them); not with --plain
  --plain       plain HTTP instead of TLS
  --behaviours  JSON file {"/path": {behaviour}, ...}; read anew for every
                request, so a runner may rewrite it (atomically) between requests
  --log         JSON lines appended per event:
                  {"event": "connection", "port": P}  when a TCP connection is accepted
                  {"event": "tls-failed", "port": P, "error": "..."}  handshake refused
                  {"event": "request", "port": P, "method": "GET", "path": "/x?q",
                   "user_agent": "..." or null, "range": ... or null, "if_range": ... or null}
  --ready       file written (atomically) once the server listens:
                  {"port": P, "pid": PID}
                The port is printed to stdout too ("listening on PORT").

A runner starts it, waits until the ready file exists (no blind sleeps), reads
the port, and ends it with SIGTERM (or kills it).

Behaviour keys (all optional; a path without an entry is served from --root):
  "status": int              status code (default 200; 404 if no body exists)
  "body": "text"             body as UTF-8 text instead of a file
  "body_file": "rel/path"    body from this file below --root (or absolute)
  "headers": {"Name": "v"}   extra response headers
  "redirect": "/p" | "https://host:port/p"   Location header, status default 302
  "close_at_once": true      close the connection without any response
  "delay_headers": seconds   silence before the status line, then answer normally
  "stall_headers": true      request read, then silence (no response ever)
  "stall_body_after": N      headers and N body bytes sent, then silence
  "cut_body_after": N        full Content-Length announced, N bytes sent, then close
  "chunked": true            Transfer-Encoding: chunked (with cut_body_after the
                             terminating chunk never comes)
  "rate": bytes_per_second   send the body slowly
  "byte_interval": S         send the body one byte every S seconds
  "stall_seconds": S         how long a stall lasts (default: until the server ends)
  "sequence": [{...}, ...]   the n-th request to the path gets the n-th behaviour
                             (the last one from then on)

Bodies carry an ETag and a Last-Modified and answer "Range: bytes=A-[B]" with
206 and Content-Range (If-Range honoured), unless a behaviour says otherwise:
  "ranges": false            ignore Range: always the whole body with 200
  "ignore_if_range": true    answer a range even when If-Range does not match
  "etag": "\"v\""            this ETag instead of the file's own
  "range_shift": N           serve and announce the range N bytes later than asked
After each body a {"event": "response", "port": P, "path": ..., "status": S,
"bytes": N} line records how many body bytes went out.
"""

import argparse
import email.utils
import http.server
import io
import json
import os
import re
import signal
import ssl
import sys
import threading
import urllib.parse
import zlib

CHUNK = 64 * 1024


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(tmp, path)


class EventLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, **fields):
        if not self.path:
            return
        line = json.dumps(fields, ensure_ascii=False) + "\n"
        with self.lock, open(self.path, "a", encoding="utf-8") as out:
            out.write(line)


class UpdateServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, options):
        self.options = options
        self.root = os.path.abspath(options.root)
        self.events = EventLog(options.log)
        self.stopping = threading.Event()
        self.counts = {}
        self.counts_lock = threading.Lock()
        self.tls = None
        if not options.plain:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(options.cert, options.key)
        super().__init__((options.bind, options.port), Handler)

    def behaviours(self):
        if not self.options.behaviours:
            return {}
        with open(self.options.behaviours, encoding="utf-8") as source:
            return json.load(source)

    def behaviour_for(self, path):
        behaviour = self.behaviours().get(path, {})
        if "sequence" not in behaviour:
            return behaviour
        with self.counts_lock:
            index = self.counts.get(path, 0)
            self.counts[path] = index + 1
        steps = behaviour["sequence"]
        return steps[min(index, len(steps) - 1)]

    # The TLS handshake runs in the connection's own thread, so that a client
    # that stalls in it cannot hold up the accept loop.
    def finish_request(self, request, client_address):
        port = self.server_address[1]
        self.events.write(event="connection", port=port)
        if self.tls is None:
            return super().finish_request(request, client_address)
        try:
            request.settimeout(30)
            wrapped = self.tls.wrap_socket(request, server_side=True)
            wrapped.settimeout(None)
        except (ssl.SSLError, OSError) as error:
            self.events.write(event="tls-failed", port=port, error=str(error))
            return
        try:
            super().finish_request(wrapped, client_address)
        finally:
            try:
                wrapped.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that went away is normal here

    def wait_or_stop(self, seconds):
        """Sleeps, returning early when the server is stopping."""
        self.stopping.wait(seconds)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "UpdaterTestServer"
    sys_version = ""

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.respond(send_body=False)

    def do_GET(self):
        self.respond(send_body=True)

    def respond(self, send_body):
        server = self.server
        server.events.write(event="request", port=server.server_address[1], method=self.command, path=self.path,
                            user_agent=self.headers.get("User-Agent"), range=self.headers.get("Range"),
                            if_range=self.headers.get("If-Range"))
        raw_path = urllib.parse.urlsplit(self.path).path
        try:
            behaviour = server.behaviour_for(raw_path)
        except (OSError, ValueError) as error:
            return self.plain_answer(500, "bad behaviours file: %s\n" % error)
        if behaviour.get("close_at_once"):
            self.close_connection = True
            return
        if behaviour.get("stall_headers"):
            return self.stall(behaviour)
        if behaviour.get("delay_headers"):
            server.wait_or_stop(float(behaviour["delay_headers"]))
        if "redirect" in behaviour:
            return self.redirect(behaviour)
        body = self.open_body(raw_path, behaviour)
        if body is None:
            return self.plain_answer(int(behaviour.get("status", 404)), "not found\n")
        with body:
            self.send_body(behaviour, body, send_body)

    def plain_answer(self, status, text):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def redirect(self, behaviour):
        self.send_response(int(behaviour.get("status", 302)))
        self.send_header("Location", behaviour["redirect"])
        self.send_header("Content-Length", "0")
        self.send_extra_headers(behaviour)
        self.end_headers()

    def open_body(self, raw_path, behaviour):
        if "body" in behaviour:
            return io.BytesIO(behaviour["body"].encode("utf-8"))
        relative = behaviour.get("body_file", urllib.parse.unquote(raw_path).lstrip("/"))
        file = os.path.realpath(os.path.join(self.server.root, relative))
        inside = file.startswith(self.server.root + os.sep)
        if not (inside or os.path.isabs(relative)) or not os.path.isfile(file):
            return None
        return open(file, "rb")

    def send_extra_headers(self, behaviour):
        for name, value in behaviour.get("headers", {}).items():
            self.send_header(name, value)

    def validators(self, behaviour, body):
        """(ETag, Last-Modified) of the body, as a static file server gives them."""
        if isinstance(body, io.BytesIO):
            stamp, size = zlib.crc32(body.getvalue()), len(body.getvalue())
            modified = 0
        else:
            info = os.fstat(body.fileno())
            stamp, size, modified = info.st_mtime_ns, info.st_size, info.st_mtime
        etag = behaviour.get("etag", '"%x-%x"' % (stamp, size))
        return etag, email.utils.formatdate(modified, usegmt=True)

    def wanted_range(self, behaviour, size, validators):
        """(first, last) of a Range the answer honours, "unsatisfiable", or None."""
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        if not match or not behaviour.get("ranges", True) or int(behaviour.get("status", 200)) != 200:
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in validators and not behaviour.get("ignore_if_range"):
            return None
        first = int(match.group(1))
        if first >= size:
            return "unsatisfiable"
        return first, min(int(match.group(2)) if match.group(2) else size - 1, size - 1)

    def send_body(self, behaviour, body, send_body):
        body.seek(0, os.SEEK_END)
        size = body.tell()
        body.seek(0)
        chunked = bool(behaviour.get("chunked"))
        validators = self.validators(behaviour, body)
        wanted = self.wanted_range(behaviour, size, validators)
        if wanted == "unsatisfiable":
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        status, start, length = int(behaviour.get("status", 200)), 0, size
        if wanted:
            start = wanted[0] + int(behaviour.get("range_shift", 0))
            status, length = 206, wanted[1] - start + 1
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("ETag", validators[0])
        self.send_header("Last-Modified", validators[1])
        self.send_header("Accept-Ranges", "bytes")
        if wanted:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, wanted[1], size))
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        limit = length
        ends_early = "cut_body_after" in behaviour or "stall_body_after" in behaviour
        if ends_early:
            limit = min(length, int(behaviour.get("cut_body_after", behaviour.get("stall_body_after", 0))))
            self.send_header("Connection", "close")
            self.close_connection = True
        self.send_extra_headers(behaviour)
        self.end_headers()
        if not send_body:
            return
        body.seek(start)
        sent = [0]
        try:
            self.copy(body, limit, chunked, behaviour, sent)
        finally:
            self.server.events.write(event="response", port=self.server.server_address[1], path=self.path,
                                     status=status, bytes=sent[0])
        if "stall_body_after" in behaviour:
            self.wfile.flush()
            return self.stall(behaviour)
        if chunked and not ends_early:
            self.wfile.write(b"0\r\n\r\n")

    def copy(self, body, limit, chunked, behaviour, sent):
        rate, interval = behaviour.get("rate"), behaviour.get("byte_interval")
        step = 1 if interval else CHUNK if not rate else max(1, int(rate) // 10)
        while sent[0] < limit:
            data = body.read(min(step, limit - sent[0]))
            if not data:
                break
            payload = len(data)
            if chunked:
                data = b"%x\r\n" % len(data) + data + b"\r\n"
            self.wfile.write(data)
            sent[0] += payload
            if rate or interval:
                self.wfile.flush()
                self.server.wait_or_stop(float(interval) if interval else 0.1)
            if self.server.stopping.is_set():
                break

    def stall(self, behaviour):
        self.close_connection = True
        self.server.wait_or_stop(float(behaviour.get("stall_seconds", 1e9)))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Local HTTPS update server for tests.")
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--behaviours")
    parser.add_argument("--log")
    parser.add_argument("--ready")
    options = parser.parse_args(argv)
    if not options.plain and not (options.cert and options.key):
        parser.error("--cert and --key are required unless --plain is given")
    return options


def main(argv):
    options = parse_arguments(argv)
    server = UpdateServer(options)
    port = server.server_address[1]
    if options.ready:
        write_atomically(options.ready, json.dumps({"port": port, "pid": os.getpid()}))
    print("listening on %d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
    return 0


def stop_on_sigterm(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, stop_on_sigterm)
    sys.exit(main(sys.argv[1:]))
