"""The one nginx set-up of the demo and the benchmarks: a folder served over TLS
on 127.0.0.1 with a certificate for localhost, in the foreground, everything it
writes kept in a work folder. Options: a rate limit per connection
(`limit_rate`), the number of ranges a request may ask for (`max_ranges`; 0
turns range support off), an access log, more connections than the default
64, and lines of the caller's own for the http and server blocks (the load
test's connection limit)."""

import os
import socket
import subprocess
import time

CONF = """
daemon off;
master_process off;
worker_processes 1;
user root;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections {connections}; }}
http {{
  log_format updates '$request_uri $status $bytes_sent $msec $request_time $connection';
  {http_extra}
  access_log {access_log};
  sendfile on;
  types {{ application/zip zip; text/plain txt; }}
  client_body_temp_path {work}/tmp-body;
  proxy_temp_path {work}/tmp-proxy;
  fastcgi_temp_path {work}/tmp-fastcgi;
  uwsgi_temp_path {work}/tmp-uwsgi;
  scgi_temp_path {work}/tmp-scgi;
  server {{
    listen 127.0.0.1:{port} ssl;
    server_name localhost;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    root {root};
    limit_rate {rate};
    {max_ranges}
    {server_extra}
  }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_is_free(port):
    """True when nothing listens on the port (connections of earlier runs
    still in TIME_WAIT do not count)."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def access_log_path(work):
    """One line per request: the path, the status, the bytes sent, when it
    ended (seconds since the epoch, milliseconds), how long it took and the
    connection's serial number."""
    return os.path.join(work, "nginx-access.log")


def start(work, pki, root, port, rate="0", max_ranges=None, access_log=False, connections=64, http_extra="",
          server_extra=""):
    """Starts nginx and waits until it listens; returns the process."""
    if not port_is_free(port):
        raise SystemExit("port %d is in use; nginx needs it" % port)
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as out:
        out.write(CONF.format(work=work, port=port, cert=pki["localhost_cert"], key=pki["localhost_key"], root=root,
                              rate=rate, max_ranges="" if max_ranges is None else "max_ranges %d;" % max_ranges,
                              access_log=access_log_path(work) + " updates" if access_log else "off",
                              connections=connections, http_extra=http_extra, server_extra=server_extra))
    process = subprocess.Popen(["nginx", "-c", conf, "-p", work], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while port_is_free(port):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise SystemExit("nginx did not start (see %s/nginx-error.log)" % work)
        time.sleep(0.05)
    return process


def stop(process):
    process.terminate()
    process.wait()
