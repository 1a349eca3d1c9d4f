#!/usr/bin/env python3
"""Certificates for the local update server, made per run with the openssl
command line, and a way to run a program that trusts them without touching the
machine: the program runs in a private mount namespace where the system CA
bundle is replaced by a copy that also holds the test CA.

As a module:
  pki = make_test_pki(directory)      # trusted CA, localhost cert, bundle, ...
  argv = trusted_command(argv, pki["bundle"], hosts=None, wine=False)

From the shell:
  testca.py make DIR                  # prints the JSON made by make_test_pki
  testca.py run --bundle B [--hosts H] [--wine] -- PROGRAM ARGS...

make_test_pki writes into DIR:
  ca.pem / ca.key                   the test CA (in bundle.pem)
  localhost.pem / localhost.key     server certificate for DNS:localhost by the test CA
  wronghost.pem / wronghost.key     by the test CA, but for DNS:wronghost.invalid only
  untrusted-ca.pem                  a second CA that nothing trusts
  untrusted.pem / untrusted.key     for DNS:localhost, by the untrusted CA
  bundle.pem                        the system bundle followed by ca.pem

Running in the namespace needs root (CI has it). Under Wine the certificate
store is read by the wineserver, so any running wineserver of the prefix is
stopped first and a new one starts inside the namespace; it is stopped again at
the end so that no later program sees the test CA.
"""

import json
import os
import subprocess
import sys

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
SYSTEM_HOSTS = "/etc/hosts"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, name, subject):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "3",
            "-subj", "/CN=" + subject, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def make_server_cert(directory, name, ca, dns_name):
    ca_cert, ca_key = ca
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    request, extensions = os.path.join(directory, name + ".csr"), os.path.join(directory, name + ".ext")
    with open(extensions, "w") as out:
        out.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:%s\n"
                  "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid,issuer\n" % dns_name)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=" + dns_name)
    openssl("x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
            "-days", "3", "-extfile", extensions)
    return cert, key


def make_test_pki(directory):
    os.makedirs(directory, exist_ok=True)
    ca = make_ca(directory, "ca", "Updater Test CA")
    untrusted_ca = make_ca(directory, "untrusted-ca", "Updater Untrusted Test CA")
    pki = {"ca": ca[0]}
    for name, issuer, dns_name in (("localhost", ca, "localhost"), ("wronghost", ca, "wronghost.invalid"),
                                   ("untrusted", untrusted_ca, "localhost")):
        pki[name + "_cert"], pki[name + "_key"] = make_server_cert(directory, name, issuer, dns_name)
    pki["bundle"] = os.path.join(directory, "bundle.pem")
    with open(pki["bundle"], "wb") as out:
        with open(SYSTEM_BUNDLE, "rb") as system:
            out.write(system.read().rstrip(b"\n") + b"\n")
        with open(ca[0], "rb") as test_ca:
            out.write(test_ca.read())
    return pki


def make_hosts_file(path, names, address="127.0.0.1"):
    """The system hosts file plus the given names mapped to address."""
    with open(SYSTEM_HOSTS) as system:
        text = system.read().rstrip("\n") + "\n"
    with open(path, "w") as out:
        out.write(text + "".join("%s %s\n" % (address, name) for name in names))
    return path


def trusted_command(argv, bundle, hosts=None, wine=False):
    """argv wrapped so that it runs with bundle as the system CA bundle (and
    hosts as /etc/hosts when given), in a mount namespace of its own."""
    script = 'mount --bind "$0" %s' % SYSTEM_BUNDLE
    args = [bundle]
    if hosts:
        script += ' && mount --bind "$1" %s' % SYSTEM_HOSTS
        args.append(hosts)
    shift = len(args) - 1
    if wine:
        stop = "wineserver -k 2>/dev/null; "
        script = stop + script + ' && shift %d && { "$@"; rc=$?; %s exit $rc; }' % (shift, stop)
    else:
        script += ' && shift %d && exec "$@"' % shift
    return ["unshare", "-m", "sh", "-c", script, *args, *argv]


def main(argv):
    if len(argv) >= 2 and argv[0] == "make":
        print(json.dumps(make_test_pki(argv[1]), indent=2))
        return 0
    if argv and argv[0] == "run" and "--" in argv:
        options, command = argv[1:argv.index("--")], argv[argv.index("--") + 1:]
        bundle = options[options.index("--bundle") + 1]
        hosts = options[options.index("--hosts") + 1] if "--hosts" in options else None
        return subprocess.call(trusted_command(command, bundle, hosts, "--wine" in options))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
