"""Shared pieces of the end-to-end scenarios: the real Orvane.Setup.exe under Wine against the
local update hosts (tests/support/testnet.py), real ZIP packages holding the stand-in agent
service, and checks of the log, the installed files and the service.

A scenario script defines functions `scenario_<name>(run)` and ends with `main(globals())`;
ctest runs one scenario per test (`--scenario NAME`), each in a fresh namespace and prefix.
"""
import argparse
import io
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testnet import TestNet  # noqa: E402

SERVICE = "OrvaneCloudMonitorAgent"
RUNNING, STOPPED = 4, 1
BOM = b"\xef\xbb\xbf"
TIMESTAMP = re.compile(r"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] ")


class ScenarioFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise ScenarioFailure(message)


class Run:
    """One scenario's world: the test network with its Wine prefix, and the built programs."""

    def __init__(self, net, args):
        self.net = net
        self.setup_exe = os.path.abspath(args.setup_exe)
        tools = os.path.join(os.path.abspath(args.build_dir), "tests", "tools")
        self.agent_exe = os.path.join(tools, "test_agent", "OrvaneCloudMonitorAgent.exe")
        self.svcctl_exe = os.path.join(tools, "svcctl", "svcctl.exe")
        self.packages = os.path.join(net.work, "packages")
        os.makedirs(self.packages, exist_ok=True)
        # The prefix is a copy of the build's, whose log may hold lines of other tests.
        self._log_seen = len(self.log_lines())

    # --- the program -----------------------------------------------------------------------

    def setup(self, answers=b"", program=None, timeout=300):
        """Runs Orvane.Setup.exe (or another copy of it) with answers on standard input;
        returns (exit code, the log lines this run added, console output)."""
        run = self.net.wine(program or self.setup_exe, input=answers, timeout=timeout)
        lines = self.log_lines()
        added = lines[self._log_seen:]
        self._log_seen = len(lines)
        return run.returncode, added, run.stdout.decode("utf-8", "replace")

    def start_setup(self, answers=b"", program=None):
        """Starts Orvane.Setup.exe without waiting for it; end it with finish_setup."""
        process = subprocess.Popen(["wine", program or self.setup_exe], env=self.net.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        process.stdin.write(answers)
        process.stdin.close()
        return process

    @staticmethod
    def finish_setup(process, timeout=300):
        """Waits for a started run; (exit code, its console lines as "[LEVEL] message")."""
        out = process.stdout.read().decode("utf-8", "replace")
        code = process.wait(timeout=timeout)
        return code, [TIMESTAMP.sub("", line) for line in out.replace("\r\n", "\n").split("\n")
                      if TIMESTAMP.match(line)]

    def wait_for_log(self, wanted, timeout=60, after=0):
        """Waits until the log holds the line `wanted` after its first `after` lines; returns
        the line's index."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = self.log_lines()
            for index in range(after, len(lines)):
                if lines[index] == wanted:
                    return index
            time.sleep(0.05)
        raise ScenarioFailure(f"log line {wanted!r} did not appear within {timeout} s\nlog:\n" +
                              "\n".join(self.log_lines()[after:]))

    def kill_setup(self, process):
        """SIGKILLs a started run's Windows process and waits for the launcher; its ids."""
        return kill_windows_program(process, process.args[1])

    def log_lines(self):
        """Every line of the prefix's Orvane.Setup.log as "[LEVEL] message"."""
        path = os.path.join(self.net.temp_folder, "Orvane.Setup.log")
        if not os.path.exists(path):
            return []
        data = open(path, "rb").read()
        check(not data.startswith(BOM) and b"\r\n" not in data.replace(b"\r\n\n", b""),
              "log file holds a byte order mark or CR LF line ends")
        return [TIMESTAMP.sub("", line) for line in data.decode("utf-8").split("\n")[:-1]]

    def skip_log(self):
        """Marks the log as read, e.g. after a run started with start_setup()."""
        self._log_seen = len(self.log_lines())

    # --- packages and links ----------------------------------------------------------------

    def package(self, name, files, agent=True, top=""):
        """Builds a real ZIP package (deflated) holding the stand-in agent and files
        (archive name -> bytes or text), all below the folder `top`; returns its path."""
        path = os.path.join(self.packages, name)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            if agent:
                archive.write(self.agent_exe, top + "OrvaneCloudMonitorAgent.exe")
            for entry, data in files.items():
                archive.writestr(top + entry, data.encode() if isinstance(data, str) else data)
        return path

    def publish_package(self, name, files, host="primary", link_hosts=("primary",), **kwargs):
        """Publishes a package under /Upgrade/ of `host` and its link on `link_hosts`; returns
        the link."""
        path = self.package(name, files, **kwargs)
        self.net.publish_file(host, "/Upgrade/" + name, path)
        link = self.net.url("primary", "/Upgrade/" + name)
        for link_host in link_hosts:
            self.net.publish(link_host, "/Upgrade/pkglink.txt", link + "\r\n")
        return link

    def publish_crafted(self, name, data, link_hosts=("primary",)):
        """Publishes bytes as a package under /Upgrade/ of the primary host and its link."""
        path = os.path.join(self.packages, name)
        open(path, "wb").write(data)
        self.net.publish_file("primary", "/Upgrade/" + name, path)
        link = self.net.url("primary", "/Upgrade/" + name)
        for link_host in link_hosts:
            self.net.publish(link_host, "/Upgrade/pkglink.txt", link + "\r\n")
        return link

    def downloads(self):
        """Paths requested so far, as "host path"."""
        return [f"{r['host']} {r['path']}" for r in self.net.requests()]

    # --- the machine -----------------------------------------------------------------------

    def path(self, windows_path):
        """A C:\\ path of the prefix as a Linux path."""
        check(windows_path[:3].upper() == "C:\\", windows_path)
        return os.path.join(self.net.drive_c, *windows_path[3:].split("\\"))

    def read(self, windows_path):
        return open(self.path(windows_path), "rb").read()

    def exists(self, windows_path):
        return os.path.exists(self.path(windows_path))

    def service(self, name=SERVICE):
        """{"state": int, "start": int, "binary": str} of an installed service, or None."""
        out = self.net.wine(self.svcctl_exe, "query", name).stdout.decode("utf-8", "replace").strip()
        if out == "missing":
            return None
        match = re.fullmatch(r"state=(\d+) start=(\d+) binary=(.*)", out)
        check(match, f"svcctl query {name}: {out!r}")
        return {"state": int(match[1]), "start": int(match[2]), "binary": match[3]}

    def svcctl(self, *args):
        run = self.net.wine(self.svcctl_exe, *args)
        check(run.returncode == 0, f"svcctl {' '.join(args)}: {run.stdout!r}")


def zip_entries(data):
    """(name, central header offset, local header offset) of each entry of ZIP bytes."""
    end = data.rfind(b"PK\x05\x06")
    count, _, at = struct.unpack_from("<HII", data, end + 10)
    result = []
    for _ in range(count):
        check(data[at:at + 4] == b"PK\x01\x02", "central directory header")
        n, e, c = struct.unpack_from("<HHH", data, at + 28)
        local = struct.unpack_from("<I", data, at + 42)[0]
        result.append((data[at + 46:at + 46 + n].decode(), at, local))
        at += 46 + n + e + c
    return result


def with_declared_size(data, entry_name, size):
    """ZIP bytes whose entry declares another uncompressed size: in its 32-bit fields (central
    and local header), or, above 4 GiB, in a ZIP64 field of the central directory."""
    data = bytearray(data)
    for name, central, local in zip_entries(bytes(data)):
        if name != entry_name:
            continue
        if size < 0xFFFFFFFF:
            data[central + 24:central + 28] = struct.pack("<I", size)
            data[local + 22:local + 26] = struct.pack("<I", size)
        else:
            n, e = struct.unpack_from("<HH", data, central + 28)
            check(e == 0, "entry already has extra fields")
            data[central + 24:central + 28] = b"\xff\xff\xff\xff"
            data[central + 30:central + 32] = struct.pack("<H", 12)
            field = struct.pack("<HHQ", 1, 8, size)
            data[central + 46 + n:central + 46 + n] = field
            end = bytes(data).rfind(b"PK\x05\x06")
            size_at = end + 12
            data[size_at:size_at + 4] = struct.pack(
                "<I", struct.unpack_from("<I", data, size_at)[0] + len(field))
        return bytes(data)
    raise ScenarioFailure(f"no entry {entry_name}")


def expect_no_access_warnings(lines):
    """The access lists of the installation folder and appsettings.json were set."""
    bad = [line for line in lines if line.startswith("[WARN] Cannot protect installation folder")
           or line.startswith("[WARN] Cannot restrict access")]
    check(not bad, f"access warnings: {bad}")


def windows_processes(root_pid, program):
    """Linux ids of the processes in which Wine runs `program` (its file name): root_pid and
    its descendants whose command line names it. `wine prog.exe` may run the program in the
    launcher's own process or in a child of it."""
    name = os.path.basename(program).lower().encode()
    children, commands = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                parent = int(f.read().rsplit(b")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                commands[int(entry)] = f.read().split(b"\0")[0].strip().lower()
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(entry))
    found, pending = [], [root_pid]
    while pending:
        pid = pending.pop()
        command = commands.get(pid, b"")
        if command.replace(b"\\", b"/").rsplit(b"/", 1)[-1] == name:
            found.append(pid)
        pending.extend(children.get(pid, []))
    return found


def kill_windows_program(process, program, victims=None, timeout=10):
    """SIGKILLs the Linux process(es) that run `program` for a Popen made by Run.start
    (`victims`: their ids when already known, for a quicker kill), and checks they are gone;
    returns their ids."""
    victims = victims or windows_processes(process.pid, program)
    check(victims, f"no process runs {program} below {process.pid}")
    for pid in victims:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if process.pid not in victims:
        process.kill()  # the launcher, once the program itself is gone
    process.wait(timeout)
    deadline = time.monotonic() + timeout
    for pid in victims:
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        check(not process_alive(pid), f"process {pid} survived SIGKILL")
    return victims


def process_alive(pid):
    """A process that exists and is not a zombie waiting for its parent."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def config_of(data):
    """appsettings.json bytes as a document, checking the byte order mark."""
    check(data.startswith(BOM), "appsettings.json has no byte order mark")
    return json.loads(data[3:].decode("utf-8"))


def expect_lines(lines, expected):
    """Each expected line appears, in this order (other lines may stand between them)."""
    position = 0
    for wanted in expected:
        for index in range(position, len(lines)):
            if lines[index] == wanted:
                position = index + 1
                break
        else:
            raise ScenarioFailure(f"log line missing or out of order: {wanted!r}\nlog:\n" +
                                  "\n".join(lines))


def expect_exit(code, expected, lines):
    check(code == expected, f"exit code {code}, expected {expected}\nlog:\n" + "\n".join(lines))


def main(scenarios):
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup-exe", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--scenario", required=True)
    args = parser.parse_args()
    function = scenarios.get("scenario_" + args.scenario)
    if function is None:
        sys.exit(f"no scenario {args.scenario}")
    with TestNet(args.build_dir, name=args.scenario) as net:
        function(Run(net, args))
    print(f"scenario {args.scenario}: passed")
