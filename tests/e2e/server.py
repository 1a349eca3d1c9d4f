#!/usr/bin/env python3
"""The local update server of the download tests and the scenarios: serves a
directory over HTTPS (or plain HTTP) on loopback, with behaviours per path, and
logs every event. Runners start it with launch() below.

  server.py --root DIR --ready FILE [--cert CERT --key KEY] [--port N]
            [--behaviours FILE.json] [--log FILE.jsonl]

Without --cert it serves plain HTTP. --ready is written ({"port": P}) once the
server listens; --port 0 picks a free port. The behaviours file {"/path": {...}}
is read anew for every request. The log gets one JSON line per event: {"event": "connection"|"tls-failed"|
"request", "port": P} and, for requests, "path" and "user_agent".

Behaviour keys (a path without one is served from --root):
  status         status code (default 200; 404 when there is no body)
  body           body text;  body_file: body from this file below --root
  redirect       Location of a redirect (status default 302)
  close_at_once  close the connection without an answer
  delay_headers  seconds of silence before an ordinary answer
  stall_body_after  headers and N body bytes, then silence (stall_seconds, or until the end)
  cut_body_after    the whole Content-Length announced, N bytes sent, then close
  chunked        chunked transfer encoding (cut: the last chunk never comes)
  rate           bytes per second
"""

import argparse
import http.server
import io
import json
import os
import signal
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

CHUNK = 64 * 1024


def launch(root, ready, cert=None, key=None, port=0, behaviours=None, log=None):
    """Starts the server as a child process; returns (process, port) once it
    listens, or (None, None) when the port is taken."""
    if os.path.exists(ready):
        os.remove(ready)
    tls = ["--cert", cert, "--key", key] if cert else []
    extra = (["--behaviours", behaviours] if behaviours else []) + (["--log", log] if log else [])
    process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--root", root, "--ready", ready,
                                "--port", str(port), *tls, *extra], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not os.path.exists(ready):
        if process.poll() is not None:
            return None, None
        if time.monotonic() > deadline:
            process.kill()
            raise RuntimeError("the test server did not start")
        time.sleep(0.02)
    with open(ready) as source:
        return process, json.load(source)["port"]


def stop(process):
    if process and process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()


class UpdateServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, options):
        self.options = options
        self.root = os.path.abspath(options.root)
        self.log_lock = threading.Lock()
        self.stopping = threading.Event()
        self.tls = None
        if options.cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(options.cert, options.key)
        super().__init__(("127.0.0.1", options.port), Handler)

    def event(self, **fields):
        if self.options.log:
            with self.log_lock, open(self.options.log, "a", encoding="utf-8") as out:
                out.write(json.dumps(dict(fields, port=self.server_address[1]), ensure_ascii=False) + "\n")

    def behaviours(self):
        if not self.options.behaviours:
            return {}
        with open(self.options.behaviours, encoding="utf-8") as source:
            return json.load(source)

    # The TLS handshake runs in the connection's own thread, so that a client
    # that stalls in it cannot hold up the accept loop.
    def finish_request(self, request, client_address):
        self.event(event="connection")
        if self.tls is None:
            return super().finish_request(request, client_address)
        try:
            request.settimeout(30)
            wrapped = self.tls.wrap_socket(request, server_side=True)
            wrapped.settimeout(None)
        except (ssl.SSLError, OSError) as error:
            return self.event(event="tls-failed", error=str(error))
        try:
            super().finish_request(wrapped, client_address)
        finally:
            wrapped.close()

    def handle_error(self, request, client_address):
        pass  # a client that went away is normal here


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "UpdaterTestServer"
    sys_version = ""

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        server.event(event="request", path=self.path, user_agent=self.headers.get("User-Agent"))
        raw_path = urllib.parse.urlsplit(self.path).path
        behaviour = server.behaviours().get(raw_path, {})
        if behaviour.get("close_at_once"):
            self.close_connection = True
            return
        server.stopping.wait(float(behaviour.get("delay_headers", 0)))
        if "redirect" in behaviour:
            self.send_response(int(behaviour.get("status", 302)))
            self.send_header("Location", behaviour["redirect"])
            self.send_header("Content-Length", "0")
            return self.end_headers()
        body = self.open_body(raw_path, behaviour)
        if body is None:
            return self.send_error(int(behaviour.get("status", 404)))
        with body:
            self.send_body(behaviour, body)

    def open_body(self, raw_path, behaviour):
        if "body" in behaviour:
            return io.BytesIO(behaviour["body"].encode("utf-8"))
        relative = behaviour.get("body_file", urllib.parse.unquote(raw_path).lstrip("/"))
        file = os.path.realpath(os.path.join(self.server.root, relative))
        if not file.startswith(self.server.root + os.sep) or not os.path.isfile(file):
            return None
        return open(file, "rb")

    def send_body(self, behaviour, body):
        size = body.seek(0, os.SEEK_END)
        body.seek(0)
        chunked = bool(behaviour.get("chunked"))
        self.send_response(int(behaviour.get("status", 200)))
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding" if chunked else "Content-Length", "chunked" if chunked else str(size))
        limit = min(size, int(behaviour.get("cut_body_after", behaviour.get("stall_body_after", size))))
        ends_early = "cut_body_after" in behaviour or "stall_body_after" in behaviour
        if ends_early:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        rate = behaviour.get("rate")
        sent = 0
        while sent < limit:
            data = body.read(min(max(1, int(rate) // 10) if rate else CHUNK, limit - sent))
            if not data:
                break
            sent += len(data)
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
            if rate:
                self.wfile.flush()
                self.server.stopping.wait(0.1)
        if "stall_body_after" in behaviour:
            self.wfile.flush()
            self.server.stopping.wait(float(behaviour.get("stall_seconds", 1e9)))
        elif chunked and not ends_early:
            self.wfile.write(b"0\r\n\r\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--root", "--ready", "--cert", "--key", "--behaviours", "--log"):
        parser.add_argument(option)
    parser.add_argument("--port", type=int, default=0)
    options = parser.parse_args(argv)
    server = UpdateServer(options)
    with open(options.ready + ".tmp", "w") as out:
        json.dump({"port": server.server_address[1]}, out)
    os.replace(options.ready + ".tmp", options.ready)
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
