"""The local update server of the download tests and the scenarios: serves a
directory over HTTPS (plain HTTP without a certificate) on loopback, with
behaviours per path read anew for every request from a JSON file
{"/path": {...}}, and logs one JSON line per event: {"event": "connection" |
"tls-failed" | "request" | "response", "port": P, ...}: a request gives its
"path", "user_agent", "range" and "if_range", a response its "path", "status"
and "bytes" (body bytes that went out).

Behaviour keys (a path without one is served from the root):
  status         status code (default 200; 404 when there is no body)
  body           body text;  body_file: body from this file below the root
  redirect       Location of a redirect (status default 302)
  close_at_once  close the connection without an answer
  delay_headers  seconds of silence before an ordinary answer
  stall_body_after  headers and N body bytes, then silence (stall_seconds, or until the end)
  cut_body_after    the whole Content-Length announced, N bytes sent, then close
  chunked        chunked transfer encoding (cut: the last chunk never comes)
  rate           bytes per second;  byte_interval: one byte every S seconds
  headers        extra response headers {"Name": "value"}
  sequence       a list of behaviours: the n-th request of the path gets the
                 n-th one (the last one from then on)
  close_after    a connection that has answered N requests closes at the next
                 one without an answer (a server closing an idle kept connection
                 as the request comes in)

As a proxy, the server refuses every tunnel (CONNECT) with 403.

Bodies carry an ETag and a Last-Modified and answer "Range: bytes=A-" with 206
and Content-Range (If-Range honoured), unless a behaviour says otherwise:
  ranges false: always the whole body;  ignore_if_range: answer a range anyway
  etag           this ETag instead of the file's own;  no_validators: neither ETag nor Last-Modified
  range_shift    serve and announce the range N bytes later than asked
  overrun        a 206 without a Content-Length whose body goes on N bytes past
                 its range (-1: until the client goes), then closes
"""

import email.utils
import http.server
import io
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import zlib


def launch(root, ready, cert=None, key=None, port=0, behaviours=None, log=None):
    """Starts the server as a child process; (process, port) once it listens,
    (None, None) when the port is taken. `ready` is a file it may use."""
    with open(ready + ".json", "w") as out:
        json.dump(dict(root=os.path.abspath(root), cert=cert, key=key, port=port, behaviours=behaviours, log=log), out)
    if os.path.exists(ready):
        os.remove(ready)
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), ready], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):
        if process.poll() is not None:
            return None, None
        if time.monotonic() > deadline:
            process.kill()
            raise RuntimeError("the test server did not start")
        time.sleep(0.02)
    return process, int(open(ready).read())


def stop(process):
    if process and process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()


class UpdateServer(http.server.ThreadingHTTPServer):
    daemon_threads = allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, config):
        self.config, self.log_lock, self.stopping, self.tls = config, threading.Lock(), threading.Event(), None
        self.counts = {}
        if config["cert"]:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(config["cert"], config["key"])
        super().__init__(("127.0.0.1", config["port"]), Handler)

    def event(self, **fields):
        if self.config["log"]:
            with self.log_lock, open(self.config["log"], "a", encoding="utf-8") as out:
                out.write(json.dumps(dict(fields, port=self.server_address[1]), ensure_ascii=False) + "\n")

    # The TLS handshake runs in the connection's own thread, so that a client
    # that stalls in it cannot hold up the accept loop.
    def finish_request(self, request, client_address):
        self.event(event="connection")
        if self.tls is None:
            return super().finish_request(request, client_address)
        try:
            request.settimeout(30)
            request = self.tls.wrap_socket(request, server_side=True)
            request.settimeout(None)
        except (ssl.SSLError, OSError) as error:
            return self.event(event="tls-failed", error=str(error))
        try:
            super().finish_request(request, client_address)
        finally:
            request.close()

    def behaviour(self, path):
        behaviour = json.load(open(self.config["behaviours"])).get(path, {}) if self.config["behaviours"] else {}
        if "sequence" not in behaviour:
            return behaviour
        with self.log_lock:
            index = self.counts[path] = self.counts.get(path, -1) + 1
        return behaviour["sequence"][min(index, len(behaviour["sequence"]) - 1)]

    def handle_error(self, request, client_address):
        pass  # a client that went away is normal here


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        config = self.server.config
        self.server.event(event="request", path=self.path, user_agent=self.headers.get("User-Agent"),
                          range=self.headers.get("Range"), if_range=self.headers.get("If-Range"))
        path = urllib.parse.urlsplit(self.path).path
        behaviour = self.server.behaviour(path)
        self.requests = getattr(self, "requests", 0) + 1
        if behaviour.get("close_at_once") or self.requests > behaviour.get("close_after", float("inf")):
            self.close_connection = True
            return
        self.server.stopping.wait(float(behaviour.get("delay_headers", 0)))
        if "redirect" in behaviour:
            self.send_response(int(behaviour.get("status", 302)))
            self.send_header("Location", behaviour["redirect"])
            self.send_header("Content-Length", "0")
            return self.end_headers()
        file = os.path.realpath(os.path.join(config["root"], behaviour.get("body_file", path.lstrip("/"))))
        if "body" in behaviour:
            body = io.BytesIO(behaviour["body"].encode())
        elif file.startswith(config["root"] + os.sep) and os.path.isfile(file):
            body = open(file, "rb")
        else:
            return self.send_error(int(behaviour.get("status", 404)))
        with body:
            self.send_body(behaviour, body)

    def do_CONNECT(self):
        self.server.event(event="connect", target=self.path)
        self.send_error(403)

    def wanted_range(self, behaviour, size, etag):
        """(first, last) byte of a Range the answer honours, or (None, None)."""
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        if_range = self.headers.get("If-Range")
        if not match or not behaviour.get("ranges", True) or int(behaviour.get("status", 200)) != 200 or \
                (if_range not in (None, etag) and not behaviour.get("ignore_if_range")):
            return None, None
        return int(match.group(1)), min(int(match.group(2) or size - 1), size - 1)

    def send_body(self, behaviour, body):
        size = body.seek(0, os.SEEK_END)
        body.seek(0)
        chunked, rate, interval = behaviour.get("chunked"), behaviour.get("rate"), behaviour.get("byte_interval")
        stamp = zlib.crc32(body.getvalue()) if isinstance(body, io.BytesIO) else os.fstat(body.fileno()).st_mtime_ns
        etag = behaviour.get("etag", '"%x-%x"' % (stamp, size))
        first, last = self.wanted_range(behaviour, size, etag)
        if first is not None and first >= size:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            return self.end_headers()
        start = first + int(behaviour.get("range_shift", 0)) if first is not None else 0
        status, length = (206, last + 1 - start) if first is not None else (int(behaviour.get("status", 200)), size)
        overrun = behaviour.get("overrun") if first is not None else None
        ends_early = "cut_body_after" in behaviour or "stall_body_after" in behaviour or overrun is not None
        limit = min(length, int(behaviour.get("cut_body_after", behaviour.get("stall_body_after", length))))
        if overrun is not None:
            limit = float("inf") if overrun < 0 else length + overrun
        self.send_response(status)
        if overrun is None:
            self.send_header("Transfer-Encoding" if chunked else "Content-Length", "chunked" if chunked else str(length))
        if not behaviour.get("no_validators"):
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", email.utils.formatdate(0, usegmt=True))
        if first is not None:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, last, size))
        for name, value in behaviour.get("headers", {}).items():
            self.send_header(name, value)
        if ends_early:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        body.seek(start)
        sent = 0
        try:
            while sent < limit and not self.server.stopping.is_set():
                want = min(1 if interval else max(1, rate // 10) if rate else 65536, limit - sent)
                data = body.read(want) or bytes(want)  # past the file's end: zeros
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
                sent += len(data)
                if rate or interval:
                    self.wfile.flush()
                    self.server.stopping.wait(float(interval or 0.1))
        finally:
            self.server.event(event="response", path=self.path, status=status, bytes=sent)
        if "stall_body_after" in behaviour:
            self.wfile.flush()
            self.server.stopping.wait(float(behaviour.get("stall_seconds", 1e9)))
        elif chunked and not ends_early:
            self.wfile.write(b"0\r\n\r\n")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # ends serve_forever as KeyboardInterrupt
    ready = sys.argv[1]
    server = UpdateServer(json.load(open(ready + ".json")))
    with open(ready + ".tmp", "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(ready + ".tmp", ready)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
