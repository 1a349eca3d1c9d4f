"""A local CA for the demo's and the tests' servers: certificates made per run
with openssl, and programs run in a private mount namespace (root needed) whose
system CA bundle (and, if given, /etc/hosts) are copies that trust it.
make_pki(directory) gives "bundle" (the system bundle plus the local CA) and
"<name>_cert"/"<name>_key" for localhost (localhost and otherhost.test),
wronghost (wronghost.invalid only) and untrusted (localhost, by a CA nothing trusts).
"""

import os
import subprocess

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
SYSTEM_HOSTS = "/etc/hosts"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory, name):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "3",
            "-subj", "/CN=Updater " + name, "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def make_server_cert(directory, name, ca, dns_names):
    key, cert = os.path.join(directory, name + ".key"), os.path.join(directory, name + ".pem")
    request, extensions = os.path.join(directory, name + ".csr"), os.path.join(directory, name + ".ext")
    with open(extensions, "w") as out:
        out.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\nsubjectAltName=%s\nsubjectKeyIdentifier=hash\n"
                  "authorityKeyIdentifier=keyid,issuer\n" % ",".join("DNS:" + n for n in dns_names))
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj", "/CN=" + dns_names[0])
    openssl("x509", "-req", "-in", request, "-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial", "-out", cert,
            "-days", "3", "-extfile", extensions)
    return cert, key


def make_pki(directory):
    os.makedirs(directory, exist_ok=True)
    ca, untrusted_ca = make_ca(directory, "local-ca"), make_ca(directory, "untrusted-ca")
    pki = {"ca": ca[0], "bundle": os.path.join(directory, "bundle.pem")}
    for name, issuer, dns_names in (("localhost", ca, ["localhost", "otherhost.test"]),
                                    ("wronghost", ca, ["wronghost.invalid"]), ("untrusted", untrusted_ca, ["localhost"])):
        pki[name + "_cert"], pki[name + "_key"] = make_server_cert(directory, name, issuer, dns_names)
    with open(pki["bundle"], "wb") as out, open(SYSTEM_BUNDLE, "rb") as system, open(ca[0], "rb") as local:
        out.write(system.read().rstrip(b"\n") + b"\n" + local.read())
    return pki


def make_hosts_file(path, names):
    """The system hosts file plus the given names for 127.0.0.1."""
    with open(SYSTEM_HOSTS) as system, open(path, "w") as out:
        out.write(system.read().rstrip("\n") + "\n" + "".join("127.0.0.1 %s\n" % name for name in names))
    return path


def trusted_command(argv, bundle, hosts=None, wine=False):
    """argv in a mount namespace of its own with bundle as the system CA bundle
    (and hosts as /etc/hosts). Under Wine the wineserver, which reads the
    certificates, is stopped before and after, so that it runs inside."""
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
