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
        self._log_seen = 0

    # --- the program -----------------------------------------------------------------------

    def setup(self, answers=b"", program=None, timeout=300):
        """Runs Orvane.Setup.exe (or another copy of it) with answers on standard input;
        returns (exit code, the log lines this run added, console output)."""
        run = self.net.wine(program or self.setup_exe, input=answers, timeout=timeout)
        lines = self.log_lines()
        added = lines[self._log_seen:]
        self._log_seen = len(lines)
        return run.returncode, added, run.stdout.decode("utf-8", "replace")

    def log_lines(self):
        """Every line of the prefix's Orvane.Setup.log as "[LEVEL] message"."""
        path = os.path.join(self.net.temp_folder, "Orvane.Setup.log")
        if not os.path.exists(path):
            return []
        data = open(path, "rb").read()
        check(not data.startswith(BOM) and b"\r\n" not in data.replace(b"\r\n\n", b""),
              "log file holds a byte order mark or CR LF line ends")
        return [TIMESTAMP.sub("", line) for line in data.decode("utf-8").split("\n")[:-1]]

    def start(self, answers=b"", program=None):
        """Starts Orvane.Setup.exe (or another copy of it) without waiting: a Popen with its
        standard output on a pipe, standard input already answered and closed."""
        process = subprocess.Popen(["wine", program or self.setup_exe], env=self.net.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        process.stdin.write(answers)
        process.stdin.close()
        return process

    def skip_log(self):
        """Marks the log as read, e.g. after a run started with start()."""
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
