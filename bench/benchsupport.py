"""What the benchmark scripts share: measured runs, a local nginx, sizes for people."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def run_measured(cmd, env=None, cwd=None, quiet=True):
    """Runs cmd; returns (wall seconds, CPU seconds, peak RSS in KiB, exit code, stderr tail).

    The peak comes from /usr/bin/time, which starts cmd itself: a child forked from this
    script takes this script's resident pages with it until it executes the program, and the
    kernel counts them in the child's peak, so that a small program would show this script's
    size instead of its own. With quiet, standard output is dropped and the last 4 KiB of
    standard error are returned, for a report when the program fails.
    """
    fd, peak_file = tempfile.mkstemp(prefix="bench-peak-")
    os.close(fd)
    start = time.monotonic()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + cmd, env=env,
                            cwd=cwd, stdout=subprocess.DEVNULL if quiet else None,
                            stderr=subprocess.PIPE if quiet else None)
    err = proc.stderr.read()[-4096:] if quiet else b""
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if proc.stderr:
        proc.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    with open(peak_file) as f:
        lines = [line for line in f.read().split("\n") if line.strip().isdigit()]
    os.unlink(peak_file)
    peak = int(lines[-1]) if lines else 0
    return wall, usage.ru_utime + usage.ru_stime, peak, code, err


class Nginx:
    """nginx serving root on two free loopback ports, its files below prefix; with log, every
    response is logged (status, bytes sent, connection, request, Range header, or the fields
    of log_format), unbuffered. listen holds what each port's listen directive adds ("http2").
    keepalive_requests lifts the requests a connection may carry; None leaves nginx's own
    default (1000), after which it ends the connection, as most servers out there do."""

    def __init__(self, prefix, root, log=False, log_format=None, listen=("", ""),
                 keepalive_requests=100000):
        self.ports = []
        for _ in range(2):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            self.ports.append(s.getsockname()[1])
            s.close()
        os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
        self.log = os.path.join(prefix, "access.log") if log else None
        fields = log_format or '$status $bytes_sent $connection "$request" "$http_range"'
        logging = ("  log_format bench '%s';\n  access_log %s bench;\n" % (fields, self.log)
                   if log else "  access_log off;\n")
        servers = "".join("  server { listen 127.0.0.1:%d%s; root %s; }\n"
                          % (p, " " + opts if opts else "", root)
                          for p, opts in zip(self.ports, listen))
        keepalive = ("  keepalive_requests %d;\n" % keepalive_requests
                     if keepalive_requests is not None else "")
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write("daemon off;\nuser root;\nworker_processes 2;\n"
                    "error_log %s/error.log;\npid %s/nginx.pid;\n"
                    "events { worker_connections 1024; }\n"
                    "http {\n  sendfile on;\n  tcp_nopush on;\n%s"
                    "  default_type application/octet-stream;\n%s"
                    "  client_body_temp_path %s/tmp;\n  proxy_temp_path %s/tmp;\n"
                    "  fastcgi_temp_path %s/tmp;\n  uwsgi_temp_path %s/tmp;\n"
                    "  scgi_temp_path %s/tmp;\n%s}\n"
                    % ((prefix, prefix, keepalive, logging) + (prefix,) * 5 + (servers,)))
        self.process = subprocess.Popen(["nginx", "-p", prefix, "-c", conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        if self.process.poll() is not None:
            sys.exit("nginx did not start; see %s/error.log" % prefix)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            self.process.wait(10)


def updater_env(work):
    """The environment of a benchmarked updater: its session directory in work (on the same
    file system as the installation), no version server, no display."""
    env = dict(os.environ)
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp, exist_ok=True)
    env["TMPDIR"] = tmp
    # No version server is asked: the version is given; the banner finds nobody.
    env["VARNOLT_UPDATE_SERVER"] = "127.0.0.1:9"
    env.pop("DISPLAY", None)
    env["QT_QPA_PLATFORM"] = "offscreen"
    return env


def empty_installation(inst, keep=("update", "mirrors.ini")):
    """Removes everything in the installation inst but the names in keep."""
    for entry in os.listdir(inst):
        if entry in keep:
            continue
        path = os.path.join(inst, entry)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def build_programs(build):
    """The updater and release tool of the build directory, and the development signing key."""
    return (os.path.join(build, "src", "update"),
            os.path.join(build, "tools", "varnolt-release", "varnolt-release"),
            os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "keys", "development",
                                         "private.key")))


def human(size):
    if size >= 1 << 30 and size % (1 << 30) == 0:
        return "%d GiB" % (size >> 30)
    if size >= 1 << 20 and size % (1 << 20) == 0:
        return "%d MiB" % (size >> 20)
    return "%d KiB" % (size >> 10)
