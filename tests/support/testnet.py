"""Local update hosts for tests: real HTTPS servers inside a network namespace, and a Wine
prefix of the test's own that runs inside the same namespace.

    import sys, os
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
    from testnet import TestNet

    with TestNet(build_dir) as net:          # re-runs the script inside `unshare --net --mount`
        net.publish("primary", "/Upgrade/pkglink.txt", "https://primary.orvane.test/Upgrade/a.zip\\n")
        net.fault("fallback", "/Upgrade/pkglink.txt", "status 500")
        run = net.wine(setup_exe, input=b"key\\nsecret\\n")

See tests/support/README.md for the fault lines, the ports and the files a test can read.
Needs root (for the namespace and the bind mounts) and Python's standard library only.
"""
import http.server
import os
import posixpath
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

INSIDE_MARK = "ORVANE_TESTNET_INSIDE"
ROLES = ("primary", "fallback", "third")
ADDRESSES = ("127.0.0.1", "127.0.0.2", "127.0.0.3")  # one loopback address per host, in role order

# Extra TLS servers on the primary host's address, serving the primary's content with a
# certificate that a strict client must refuse. CLOSED_PORT has no server at all.
UNTRUSTED_PORT = 8444   # issued by a CA the prefix does not trust
WRONG_NAME_PORT = 8445  # trusted CA, but for another host name
EXPIRED_PORT = 8446     # trusted CA, right name, expired in 2021
CLOSED_PORT = 8447

LONGEST_STALL = 600  # seconds a hanging or endless response lasts at most
CHUNK = 256 * 1024


def in_namespace():
    return os.environ.get(INSIDE_MARK) == "1"


def enter_namespace():
    """Re-runs the calling script inside a new network and mount namespace (as root) and ends
    this process with its exit code; returns at once when already inside."""
    if in_namespace():
        return
    if os.geteuid() != 0:
        sys.exit("testnet: needs root for unshare --net --mount")
    sys.stdout.flush()
    sys.stderr.flush()
    os.environ[INSIDE_MARK] = "1"
    argv = [sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]]
    os.execvp("unshare", ["unshare", "--net", "--mount", "--", *argv])


def _tool(name):
    return shutil.which(name) or f"/usr/sbin/{name}"


def _write_atomically(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = f"{path}.{os.getpid()}-{threading.get_ident()}.tmp"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, path)


def windows_path(path):
    """The name under which a Windows program in Wine sees a Linux path (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def build_hosts(build_dir):
    """The three host names the build compiled in (its CMake cache), in role order."""
    values = {}
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        for line in f:
            for role in ROLES:
                key = f"ORVANE_{role.upper()}_HOST:STRING="
                if line.startswith(key):
                    values[role] = line[len(key):].strip()
    return tuple(values[role] for role in ROLES)


class Site:
    """Content, faults and the request log of all hosts, kept in files so that a Windows
    test program can change them too (through drive Z:).

    docs/<host>/<path>     the body served for <path>
    faults/<host>/<path>   one fault line that replaces the normal answer for <path>
    requests.log           one line per request: host, port, method, path, user agent,
                           header names (tab-separated)
    """

    def __init__(self, root):
        self.root = root
        self.docs = os.path.join(root, "docs")
        self.faults = os.path.join(root, "faults")
        self.log_path = os.path.join(root, "requests.log")
        self._log_lock = threading.Lock()
        os.makedirs(self.docs, exist_ok=True)
        os.makedirs(self.faults, exist_ok=True)
        open(self.log_path, "w").close()

    @staticmethod
    def _local(base, host, path):
        """The file for a URL path below base/host, never outside it."""
        clean = posixpath.normpath("/" + urllib.parse.unquote(path).lstrip("/"))
        return os.path.join(base, host, clean.lstrip("/"))

    def doc_path(self, host, path):
        return self._local(self.docs, host, path)

    def fault_path(self, host, path):
        return self._local(self.faults, host, path)

    def read_fault(self, host, path):
        try:
            with open(self.fault_path(host, path)) as f:
                return f.read().strip()
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            return ""

    def log_request(self, host, port, method, path, headers):
        fields = [host, str(port), method, path, headers.get("User-Agent", ""),
                  ",".join(headers.keys())]
        with self._log_lock, open(self.log_path, "a") as f:
            f.write("\t".join(field.replace("\t", " ") for field in fields) + "\n")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvaneTestHost/1.0"
    timeout = 60

    def handle(self):
        try:
            self.connection.do_handshake()
        except (ssl.SSLError, OSError):
            return  # the client refused the certificate or went away
        self.server.track(self.connection, True)
        try:
            super().handle()
        except (ssl.SSLError, OSError):
            pass
        finally:
            self.server.track(self.connection, False)

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        server = self.server
        key = self.path.split("?", 1)[0].split("#", 1)[0]
        server.site.log_request(server.host, server.server_port, self.command, self.path, self.headers)
        words = server.site.read_fault(server.host, key).split(maxsplit=2)
        kind, args = (words[0], words[1:]) if words else ("", [])

        if kind == "delay":
            if not self._wait(float(args[0])):
                return
            kind, args = "", []
        if kind == "status":
            return self._send(int(args[0]), " ".join(args[1:]).encode())
        if kind == "redirect":
            return self._send(int(args[0]), b"", [("Location", args[1])])
        if kind == "close":
            self.close_connection = True
            return
        if kind == "hang":
            self._wait(LONGEST_STALL)
            self.close_connection = True
            return
        if kind == "endless":
            return self._endless(int(args[0]) if args else 64 * 1024)

        body_path = server.site.doc_path(server.host, key)
        if not os.path.isfile(body_path):
            return self._send(404, b"not found")
        size = os.path.getsize(body_path)
        with open(body_path, "rb") as body:
            if kind == "chunked":
                return self._chunked(body)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if kind == "truncate":
                self.wfile.write(body.read(int(args[0])))
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
            elif kind == "slow":
                self._slowly(body, int(args[0]))
            else:
                shutil.copyfileobj(body, self.wfile, CHUNK)

    def _send(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if status >= 200 and status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body and status not in (204, 304):
            self.wfile.write(body)

    def _wait(self, seconds):
        """Sleeps, cut short when the host is stopped; true when the full time passed."""
        return not self.server.stopping.wait(seconds)

    def _slowly(self, body, rate):
        piece = max(1, rate // 10)
        while (data := body.read(piece)) and self._wait(0.1):
            self.wfile.write(data)

    def _endless(self, rate):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        piece, deadline = b"x" * max(1, rate // 10), time.monotonic() + LONGEST_STALL
        while time.monotonic() < deadline and self._wait(0.1):
            self.wfile.write(piece)

    def _chunked(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        while data := body.read(CHUNK):
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
        self.wfile.write(b"0\r\n\r\n")


class _HttpsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, context, site, host):
        self.context, self.site, self.host = context, site, host
        self.stopping = threading.Event()
        self._open = set()
        self._open_lock = threading.Lock()
        super().__init__(address, _Handler)

    def server_bind(self):
        # No reverse name lookup (HTTPServer would ask for the fully qualified name).
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.host, self.server_address[1]

    def get_request(self):
        connection, address = self.socket.accept()
        # The handshake runs in the connection's own thread (see _Handler.handle).
        return self.context.wrap_socket(connection, server_side=True,
                                        do_handshake_on_connect=False), address

    def track(self, connection, is_open):
        with self._open_lock:
            (self._open.add if is_open else self._open.discard)(connection)

    def start(self):
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05},
                         daemon=True).start()

    def stop(self):
        """Stops accepting (the port is closed afterwards) and cuts open connections."""
        self.stopping.set()
        self.shutdown()
        self.server_close()
        with self._open_lock:
            for connection in list(self._open):
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class TestNet:
    """The namespace, the hosts, their servers and a Wine prefix for one test script.

    Attributes after entering: hosts (role -> host name), site (Site), work (temporary
    folder), prefix (the Wine prefix copy, or None), env (environment for Wine programs).
    """

    def __init__(self, build_dir, wine=True, name=None):
        enter_namespace()
        self.build_dir = os.path.abspath(build_dir)
        self.use_wine = wine
        self.name = name or os.path.splitext(os.path.basename(sys.argv[0]))[0]
        self.pki = os.path.join(self.build_dir, "test-pki")
        self.hosts = dict(zip(ROLES, build_hosts(self.build_dir)))
        self.addresses = dict(zip(self.hosts.values(), ADDRESSES))
        self.prefix = None
        self._servers = {}  # (host, port) -> running server
        self._certs = {}    # (host, port) -> (certificate, key)

    # --- set-up and tear-down -------------------------------------------------------------

    def __enter__(self):
        scratch = os.path.join(self.build_dir, "testnet")
        os.makedirs(scratch, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.name + "-", dir=scratch)
        try:
            self._isolate_names()
            self.site = Site(os.path.join(self.work, "sites"))
            self._start_servers()
            self.env = self._environment()
            if self.use_wine:
                self._prepare_prefix()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.prefix:
            subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        for server in self._servers.values():
            server.stop()
        self._servers.clear()
        if os.environ.get("ORVANE_TESTNET_KEEP"):
            print("testnet: kept", self.work, file=sys.stderr)
        else:
            shutil.rmtree(self.work, ignore_errors=True)
        return False

    def _isolate_names(self):
        subprocess.run([_tool("ip"), "link", "set", "lo", "up"], check=True)
        hosts = os.path.join(self.work, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1\tlocalhost\n::1\tlocalhost\n")
            for host, address in self.addresses.items():
                f.write(f"{address}\t{host}\n")
        resolv = os.path.join(self.work, "resolv.conf")
        with open(resolv, "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")  # unknown names fail fast
        subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
        if os.path.exists("/etc/resolv.conf"):
            subprocess.run(["mount", "--bind", resolv, "/etc/resolv.conf"], check=True)

    def _start_servers(self):
        if not os.path.exists(os.path.join(self.pki, "ca.der")):
            raise RuntimeError(f"testnet: no test certificates in {self.pki} (build the project first)")
        primary = self.hosts["primary"]
        for host in self.hosts.values():
            self._certs[(host, 443)] = (host, host)
        for port, name in ((UNTRUSTED_PORT, "untrusted"), (WRONG_NAME_PORT, "wrong-name"),
                           (EXPIRED_PORT, "expired")):
            self._certs[(primary, port)] = (name, primary)
        for host, port in self._certs:
            self._start(host, port)

    def _start(self, host, port):
        cert, _ = self._certs[(host, port)]
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.pki, cert + ".pem"), os.path.join(self.pki, cert + ".key"))
        server = _HttpsServer((self.addresses[host], port), context, self.site, host)
        server.start()
        self._servers[(host, port)] = server

    def _environment(self):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "https_proxy", "HTTP_PROXY",
                     "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
            env.pop(name, None)
        env.update({
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEARCH": "win64",
            "ORVANE_TEST_SITES": windows_path(self.site.root),
            "ORVANE_TEST_UNTRUSTED_PORT": str(UNTRUSTED_PORT),
            "ORVANE_TEST_WRONG_NAME_PORT": str(WRONG_NAME_PORT),
            "ORVANE_TEST_EXPIRED_PORT": str(EXPIRED_PORT),
            "ORVANE_TEST_CLOSED_PORT": str(CLOSED_PORT),
        })
        return env

    def _prepare_prefix(self):
        ready = os.path.join(self.build_dir, "wine-prefix")
        if not os.path.exists(os.path.join(ready, ".orvane-ready")) or \
                not os.path.exists(os.path.join(ready, ".orvane-trusted-ca.der")):
            raise RuntimeError("testnet: build/wine-prefix is not ready or does not trust the test CA "
                               "(run scripts/test.sh, or source scripts/wine-env.sh and "
                               "orvane_wine_prefix_ready)")
        self.prefix = os.path.join(self.work, "wine-prefix")
        subprocess.run(["cp", "-a", ready, self.prefix], check=True)
        self.env["WINEPREFIX"] = self.prefix
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A persistent server and one warm start, so that Wine's background processes run
        # inside the namespace and never hold a test's output pipe.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, **quiet)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, timeout=120, **quiet)

    # --- content and faults -----------------------------------------------------------------

    def host(self, host):
        """A role ("primary", "fallback", "third") or a host name, as the host name."""
        return self.hosts.get(host, host)

    def url(self, host, path, port=None):
        return f"https://{self.host(host)}{':' + str(port) if port else ''}{path}"

    def publish(self, host, path, data):
        """Serves data (bytes, or text written as UTF-8) at path; replaces earlier content."""
        _write_atomically(self.site.doc_path(self.host(host), path),
                          data.encode() if isinstance(data, str) else data)

    def publish_file(self, host, path, source):
        """Serves a copy of the file source at path (a hard link when possible)."""
        target = self.site.doc_path(self.host(host), path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        temporary = target + ".tmp"
        try:
            os.link(source, temporary)
        except OSError:
            shutil.copyfile(source, temporary)
        os.replace(temporary, target)

    def unpublish(self, host, path):
        try:
            os.remove(self.site.doc_path(self.host(host), path))
        except FileNotFoundError:
            pass

    def fault(self, host, path, line):
        """Replaces the answer for path with a fault line (see README), e.g. "status 500"."""
        _write_atomically(self.site.fault_path(self.host(host), path), line.encode())

    def clear_fault(self, host, path):
        try:
            os.remove(self.site.fault_path(self.host(host), path))
        except FileNotFoundError:
            pass

    def stop(self, host, port=443):
        """Takes a host down: its port refuses connections until start()."""
        self._servers.pop((self.host(host), port)).stop()

    def start(self, host, port=443):
        if (self.host(host), port) not in self._servers:
            self._start(self.host(host), port)

    def requests(self):
        """Every request so far, oldest first, as dicts (host, port, method, path, agent, headers)."""
        with open(self.site.log_path) as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
        return [dict(host=r[0], port=int(r[1]), method=r[2], path=r[3], agent=r[4],
                     headers=r[5].split(",") if r[5] else []) for r in rows]

    # --- Wine -------------------------------------------------------------------------------

    @property
    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    @property
    def temp_folder(self):
        """The prefix user's temporary folder (GetTempPathW), as a Linux path."""
        users = os.path.join(self.drive_c, "users")
        user = next(n for n in sorted(os.listdir(users)) if n != "Public")
        return os.path.join(users, user, "Temp")

    def wine(self, program, *args, input=None, timeout=300, capture=True):
        """Runs a Windows program in the test's prefix and namespace; a CompletedProcess."""
        return subprocess.run(["wine", program, *args], env=self.env, input=input,
                              stdin=None if input is not None else subprocess.DEVNULL,
                              capture_output=capture, timeout=timeout)
