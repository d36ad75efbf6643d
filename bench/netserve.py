"""The mirrors' side of the network benchmark: a local CA, a server certificate, nginx.

The CA lives only in the benchmark's work directory. One server certificate, signed by it,
names every address a client may use: the mirrors' own and those where the delaying proxy
listens (TLS passes through the proxy, so the client checks the mirror's certificate).
"""

import glob
import os
import shutil
import signal
import subprocess
import sys
import time

# HTTPS with HTTP/2 offered by ALPN, and HTTPS with HTTP/1.1 only.
H2_PORT = 443
H1_PORT = 8443


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_certificates(directory, addresses):
    """A CA and a server certificate for addresses (IPs) in directory.
    Returns (ca.pem, server.pem, server.key)."""
    os.makedirs(directory, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "3",
             "-subj", "/CN=Varnolt network bench CA",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=varnolt-bench-mirror",
             cwd=directory)
    with open(os.path.join(directory, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=%s\n" % ",".join("IP:" + a for a in addresses))
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-out", "server.pem", "-days", "3", "-extfile", "server.ext",
             cwd=directory)
    return tuple(os.path.join(directory, n) for n in ("ca.pem", "server.pem", "server.key"))


def make_trust_directory(directory, ca):
    """A copy of the system's CA directory with ca added, hashed as OpenSSL looks it up: bound
    over /etc/ssl/certs in a client's private mount namespace, it makes the client trust the
    local CA as it trusts the system's, while the host's store stays as it is."""
    os.makedirs(directory, exist_ok=True)
    for path in glob.glob("/etc/ssl/certs/*"):
        name = os.path.basename(path)
        # The hash links are made again below, for the copies; the rest is copied as it is.
        if len(name) == 10 and name[8] == "." and name[9].isdigit():
            continue
        if os.path.isfile(path):
            shutil.copyfile(path, os.path.join(directory, name))
    shutil.copyfile(ca, os.path.join(directory, "varnolt-bench-ca.pem"))
    # The bundle too: some clients read the single file instead of the directory.
    bundle = os.path.join(directory, "ca-certificates.crt")
    with open(bundle, "a") as out, open(ca) as f:
        out.write(f.read())
    subprocess.run(["openssl", "rehash", directory], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return directory


class MirrorServer:
    """nginx in a mirror's namespace serving root over HTTPS on address: HTTP/2 on H2_PORT,
    HTTP/1.1 only on H1_PORT."""

    def __init__(self, network, ns, prefix, root, address, cert, key):
        self.network = network
        os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
        conf = os.path.join(prefix, "nginx.conf")
        temp = "".join("  %s_temp_path %s/tmp;\n" % (k, prefix)
                       for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            # One worker each: two mirrors on two cores, beside the client.
            f.write("daemon off;\nuser root;\nworker_processes 1;\n"
                    "error_log %s/error.log;\npid %s/nginx.pid;\n"
                    "events { worker_connections 4096; }\n"
                    "http {\n  sendfile on;\n  tcp_nopush on;\n"
                    "  keepalive_requests 1000000;\n  keepalive_timeout 600s;\n"
                    "  access_log off;\n  default_type application/octet-stream;\n%s"
                    "  ssl_certificate %s;\n  ssl_certificate_key %s;\n"
                    "  ssl_protocols TLSv1.2 TLSv1.3;\n"
                    "  ssl_session_cache shared:bench:4m;\n"
                    "  server {\n"
                    "    listen %s:%d ssl http2;\n"
                    "    listen %s:%d ssl;\n"
                    "    root %s;\n  }\n}\n"
                    % (prefix, prefix, temp, cert, key, address, H2_PORT, address, H1_PORT,
                       root))
        self.error_log = os.path.join(prefix, "error.log")
        self.process = network.start(ns, ["nginx", "-p", prefix, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        if self.process.poll() is not None:
            sys.exit("nginx did not start in %s; see %s" % (ns, self.error_log))

    def stop(self):
        # SIGTERM, the fast way: nothing served is worth finishing once the runs are over.
        self.network.stop(self.process, signal.SIGTERM)
