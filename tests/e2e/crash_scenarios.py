"""Crash consistency, end to end: the real Orvane.Setup.exe under Wine is killed (SIGKILL of
the Linux process that runs it) at each step of installation and of update, then run again.

A kill point fires when a log line appears on standard output, or in the middle of a long
step: a slow download, the extraction or copy of a large file, a configuration or link file
being written, the service stopping. After every kill "appsettings.json" and "pkglink.txt"
must be absent or whole, and the next run must converge: to the installed or updated state,
or, when the kill came after the link was recorded but before the service ran, to "Already up
to date" without a start, and then to the updated state once a newer package is published.

Each scenario is one ctest test holding a group of kill points in one test prefix; installation
points start from a clean machine each, update points form a chain of updates (each from the
state the previous point converged to). Every scenario prints one line per kill point and its
figures (tried / converged).
"""
import ctypes
import glob
import json
import os
import random
import re
import select
import shutil
import struct
import time

from e2e import (BOM, RUNNING, SERVICE, ScenarioFailure, check, config_of, expect_exit,
                 expect_lines, kill_windows_program, main, process_alive,
                 windows_processes)

KEY, SECRET = "KEY-1", "SECRET-1"
ANSWERS = f"{KEY}\n{SECRET}\n".encode()
FOLDER = "C:\\Orvaner"
LOG_LINE = re.compile(r"\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (\[(?:INFO|WARN|ERROR)\] .*)")
INSTALLED = "[INFO] Installation finished successfully."
UPDATED = "[INFO] Update finished successfully."
UP_TO_DATE = "[INFO] Already up to date. No action required."
BLOB_SIZE = 8 << 20  # large enough that extracting or copying it takes many writes
SMALL_FILES = 200    # a folder of many files: the ROFS clean-up and the copy take a while

# --- inotify, for kill points in the middle of a file being written ------------------------

IN_MODIFY, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x2, 0x80, 0x100, 0x200
_libc = ctypes.CDLL("libc.so.6", use_errno=True)


class FolderWatch:
    """inotify on one folder (added once the folder exists): names of entries created,
    moved in, modified or deleted."""

    def __init__(self, folder, mask):
        self.folder, self.mask, self.wd = folder, mask, -1
        self.fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        check(self.fd >= 0, "inotify_init1 failed")

    def arm(self):
        if self.wd < 0 and os.path.isdir(self.folder):
            self.wd = _libc.inotify_add_watch(self.fd, self.folder.encode(), self.mask)
        return self.wd >= 0

    def names(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return []
        names, offset = [], 0
        while offset + 16 <= len(data):
            _, _, _, length = struct.unpack_from("iIII", data, offset)
            names.append(data[offset + 16:offset + 16 + length].rstrip(b"\0").decode())
            offset += 16 + length
        return names

    def close(self):
        os.close(self.fd)


# --- kill points ----------------------------------------------------------------------------

class KillPoint:
    """Where a run is killed. `line`: when a log line starting with it appears. Otherwise,
    once `after` (a line prefix, or the start when None) has appeared: `event` = (folder,
    name prefix, inotify mask) fires on the `count`-th such event in that C:\\ folder; `appears` (a
    glob below drive C:) fires when a file that did not exist before the run has bytes;
    `agent_exits` fires when the agent's service process ends. `fault`: a fault line set on
    the package for the killed run only."""

    def __init__(self, name, line=None, after=None, event=None, appears=None,
                 agent_exits=False, fault=None, rofs=False, count=1):
        self.name, self.line, self.after, self.count = name, line, after, count
        self.event, self.appears, self.agent_exits = event, appears, agent_exits
        self.fault, self.rofs = fault, rofs


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def agent_process():
    """The Linux id of the agent service process running in this test's namespace, or None."""
    own = os.readlink("/proc/self/ns/net")
    for pid in windows_processes(1, "OrvaneCloudMonitorAgent.exe"):
        try:
            if os.readlink(f"/proc/{pid}/ns/net") == own:
                return pid
        except OSError:
            continue
    return None


def read_lines(fd, pending, timeout):
    """Reads what the pipe holds; returns (complete log lines, the unfinished rest, open)."""
    ready, _, _ = select.select([fd], [], [], timeout)
    if not ready:
        return [], pending, True
    try:
        data = os.read(fd, 65536)
    except BlockingIOError:
        return [], pending, True
    *complete, pending = (pending + data).split(b"\n")
    lines = []
    for raw in complete + ([pending] if not data else []):
        match = LOG_LINE.search(raw.decode("utf-8", "replace").rstrip("\r"))
        if match:
            lines.append(match[1])
    return lines, pending, bool(data)


def run_and_kill(run, point, answers=b""):
    """Starts the program and kills it at the kill point. Returns a dict: fired (bool), the
    lines before the kill point and those that were already written when the kill landed."""
    event_watch = None
    if point.event:
        folder, _, mask = point.event
        event_watch = FolderWatch(run.path(folder), mask)
    pattern = os.path.join(run.net.drive_c, point.appears) if point.appears else None
    existing = set(glob.glob(pattern)) if pattern else set()
    agent = None

    process = run.start_setup(answers)
    fd = process.stdout.fileno()
    os.set_blocking(fd, False)
    lines, pending, armed, fired, late, seen = [], b"", point.after is None, None, [], 0
    victims = []
    deadline = time.monotonic() + 120
    try:
        while fired is None and time.monotonic() < deadline:
            watching = armed and (event_watch or pattern or point.agent_exits)
            new, pending, still_open = read_lines(fd, pending, 0.0005 if watching else 0.05)
            if new and not victims:
                victims = windows_processes(process.pid, run.setup_exe)  # it runs by now
            for line in new:
                if fired is not None:
                    late.append(line)
                    continue
                lines.append(line)
                if point.line and line.startswith(point.line):
                    fired = line
                if point.after and line.startswith(point.after) and not armed:
                    armed = True
                    if point.agent_exits:
                        agent = agent_process()
                        check(agent, "no agent process to watch")
            if fired is not None or not still_open:
                break
            if not armed:
                continue
            if event_watch and event_watch.arm():
                prefix, count = point.event[1], point.count
                hits = [n for n in event_watch.names() if n.startswith(prefix)]
                seen += len(hits)
                if seen >= count:
                    fired = f"{point.event[0]}\\{hits[-1]} (event {seen})"
            if pattern:
                found = [p for p in glob.glob(pattern) if p not in existing and file_size(p) > 0]
                if found:
                    fired = f"{os.path.relpath(found[0], run.net.drive_c)} ({file_size(found[0])} bytes)"
            if agent and not process_alive(agent):
                fired = "agent process ended"
        if fired is not None:
            if victims and all(os.path.exists(f"/proc/{pid}") for pid in victims):
                kill_windows_program(process, run.setup_exe, victims)
            else:
                process.wait(60)
                fired += " (the program ended before the kill)"
        else:
            process.wait(60)
        # Lines the program had written before it died, after the kill point.
        still_open = True
        while still_open:
            new, pending, still_open = read_lines(fd, pending, 5)
            late += new if fired is not None else []
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()
        if event_watch:
            event_watch.close()
    run.skip_log()
    return {"fired": fired, "lines": lines, "late": late}


# --- packages and expected states ----------------------------------------------------------

def template(version):
    return {
        "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": f"https://farm.example/v{version}"},
        "Logging": {"Level": f"Level-{version}"},
        f"Feature{version}": {"On": True},
        "Setup": {"ForceReplace": ["Logging.Level", "FarmConfig.Endpoint"]},
    }


def expected_config(version):
    """The configuration after installing or updating to `version` with the test key."""
    config = template(version)
    del config["Setup"]
    config["FarmConfig"].update(ApiKey=KEY, ApiSecret=SECRET)
    return config


class Versions:
    """Publishes numbered packages; the large ones carry a blob and a folder of small files."""

    def __init__(self, run, large):
        self.run, self.large = run, large
        self.blob = random.Random(8).randbytes(BLOB_SIZE) if large else None
        self.links = {}

    def files(self, version):
        files = {"appsettings.json": BOM + json.dumps(template(version), indent=2).encode(),
                 "agent-data.txt": f"version {version}\n", "lib/helper.dll": b"\0helper-%d" % version}
        if self.large:
            files["blob.bin"] = self.blob
            for index in range(SMALL_FILES):
                files[f"many/file-{index:03}.txt"] = f"file {index} of version {version}\n"
        return files

    def publish(self, version, rofs=False):
        """Publishes the package once, and its link on the primary host each time."""
        if version not in self.links:
            name = f"agent-{version}{'-ROFS' if rofs else ''}.zip"
            self.links[version] = self.run.publish_package(name, self.files(version))
        self.run.net.publish("primary", "/Upgrade/pkglink.txt", self.links[version] + "\r\n")
        return self.links[version]


def check_files_whole(run, links):
    """appsettings.json and pkglink.txt are absent or whole; returns the recorded link (or
    None) and the names of temporary files lying in the installation folder."""
    recorded = None
    if run.exists(FOLDER + "\\pkglink.txt"):
        data = run.read(FOLDER + "\\pkglink.txt")
        matches = [link for link in links if data == BOM + link.encode() + b"\n"]
        check(matches, f"pkglink.txt is not BOM + a link + LF: {data!r}")
        recorded = matches[0]
    if run.exists(FOLDER + "\\appsettings.json"):
        data = run.read(FOLDER + "\\appsettings.json")
        try:
            check(isinstance(config_of(data), dict), "appsettings.json is not an object")
        except ValueError as error:
            raise ScenarioFailure(f"appsettings.json is not whole JSON ({error}): {data[:200]!r}")
    return recorded, temporaries(run)


def staying(run):
    stay = temporaries(run)
    return f"; still there after it: {', '.join(stay)}" if stay else ""


def temporaries(run):
    root = run.path(FOLDER)
    found = []
    for folder, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, n), root) for n in names if n.endswith(".tmp")]
    return sorted(found)


def check_state(run, versions, version, work_folder_may_stay=False):
    """The machine holds `version` installed and running, whole and clean. The installation's
    work folder stays when a killed installation had registered the service: the next run is
    an update and never touches it."""
    files = versions.files(version)
    check(run.read(FOLDER + "\\OrvaneCloudMonitorAgent.exe") == open(run.agent_exe, "rb").read(),
          "agent executable not whole")
    for name, data in files.items():
        if name == "appsettings.json":
            continue
        data = data.encode() if isinstance(data, str) else data
        check(run.read(FOLDER + "\\" + name.replace("/", "\\")) == data, f"{name} not as in package {version}")
    check(run.read(FOLDER + "\\Updater.exe") == open(run.setup_exe, "rb").read(),
          "Updater.exe is not a whole copy of the setup executable")
    config = config_of(run.read(FOLDER + "\\appsettings.json"))
    check(config == expected_config(version), f"appsettings.json: {config}")
    check(run.read(FOLDER + "\\pkglink.txt") == BOM + versions.links[version].encode() + b"\n",
          "pkglink.txt does not hold the link of package %d" % version)
    check(work_folder_may_stay or not run.exists(FOLDER + "\\_update_temp"), "work folder left behind")
    # A killed write of these two leaves a temporary (with the secret, for appsettings.json)
    # that the next write of the same file must remove. A killed copy's leftover of a package
    # file may stay; the scenarios report those.
    secrets = [n for n in temporaries(run) if n.lower().startswith(("appsettings.json.", "pkglink.txt."))]
    check(secrets == [], f"temporary files of the configuration or link file left: {secrets}")
    service = run.service()
    check(service and service["state"] == RUNNING, f"service not running: {service}")
    check(service["binary"] == f'"{FOLDER}\\OrvaneCloudMonitorAgent.exe"', service["binary"])


def reset_machine(run):
    """No agent service, no installation folder, no work folders: a first installation's start."""
    if run.service() is not None:
        run.svcctl("delete", SERVICE)
    check(run.service() is None, "service still registered after delete")
    shutil.rmtree(run.path(FOLDER), ignore_errors=True)
    shutil.rmtree(os.path.join(run.net.temp_folder, "Orvane.Setup"), ignore_errors=True)


# --- the two flows ------------------------------------------------------------------------

class Tally:
    def __init__(self, flow):
        self.flow, self.rows, self.failures = flow, [], []

    def add(self, point, outcome, result, error=None):
        fired = outcome["fired"] if outcome else None
        late = len(outcome["late"]) if outcome else 0
        self.rows.append((point.name, fired is not None, late, result))
        print(f"  {point.name:<34} killed at: {fired or '(never reached)'}"
              f"{f' (+{late} lines later)' if late else ''}\n  {'':<34} -> {result}", flush=True)
        if error:
            self.failures.append(f"{point.name}: {error}")

    def finish(self, started, run):
        leftovers = temporaries(run)
        if leftovers:
            print(f"{self.flow}: temporary files of killed copies still in the installation "
                  f"folder at the end: {', '.join(leftovers)}")
        tried = sum(1 for row in self.rows if row[1])
        converged = sum(1 for row in self.rows if row[1] and not row[3].startswith("FAILED"))
        print(f"{self.flow}: kill points tried {tried} of {len(self.rows)}, converged {converged}; "
              f"{time.monotonic() - started:.1f} s", flush=True)
        check(not self.failures, "kill points failed:\n" + "\n".join(self.failures))
        check(tried == len(self.rows), "some kill points were never reached")


def install_after_kill(run, versions, outcome):
    """Checks the state a killed installation left and runs again until it converges; returns
    a description of the path it took."""
    recorded, leftovers = check_files_whole(run, versions.links.values())
    service = run.service()
    note = f"; left {len(leftovers)} temporary file(s)" if leftovers else ""
    if service is None:
        check(not run.exists(FOLDER + "\\pkglink.txt") or recorded == versions.links[1],
              "link file of another package")
        code, lines, _ = run.setup(ANSWERS)
        expect_exit(code, 0, lines)
        expect_lines(lines, ["[INFO] Service not found. Starting first-time installation.", INSTALLED])
        check_state(run, versions, 1)
        return "no service: installed again" + note
    check(recorded == versions.links[1], "service registered but the link not recorded")
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, [UP_TO_DATE])
    if service["state"] == RUNNING:
        check_state(run, versions, 1, work_folder_may_stay=True)
        return "service running: already up to date" + note
    check(run.service()["state"] != RUNNING, "the up-to-date run started the service")
    versions.publish(2)
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, ["[INFO] New package detected. Starting update.", UPDATED])
    check_state(run, versions, 2, work_folder_may_stay=True)
    versions.publish(1)
    return "link recorded, service not started: up to date without start, then updated" + note


def run_install_points(run, points, large):
    started = time.monotonic()
    versions = Versions(run, large)
    tally = Tally("installation")
    for point in points:
        reset_machine(run)
        versions.publish(1)
        outcome = None
        try:
            if point.fault:
                run.net.fault("primary", "/Upgrade/agent-1.zip", point.fault)
            outcome = run_and_kill(run, point, ANSWERS)
            run.net.clear_fault("primary", "/Upgrade/agent-1.zip")
            check(outcome["fired"], "kill point never reached")
            tally.add(point, outcome, install_after_kill(run, versions, outcome) + staying(run))
        except (ScenarioFailure, OSError, ValueError) as error:
            run.net.clear_fault("primary", "/Upgrade/agent-1.zip")
            tally.add(point, outcome, f"FAILED: {str(error).splitlines()[0]}", error)
    tally.finish(started, run)


def update_after_kill(run, versions, version, outcome):
    """Checks the state a killed update to `version` left and runs again until it converges;
    returns (description, the version installed now)."""
    links = [versions.links[v] for v in (version - 1, version) if v in versions.links]
    recorded, leftovers = check_files_whole(run, links)
    service = run.service()
    check(service is not None, "the update removed the service")
    note = f"; left {len(leftovers)} temporary file(s)" if leftovers else ""
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    if recorded != versions.links[version]:
        expect_lines(lines, [UPDATED])
        check_state(run, versions, version)
        what = "previous link recorded" if recorded else "no link file"
        return f"{what}, service {state_name(service)}: updated again" + note, version
    expect_lines(lines, [UP_TO_DATE])
    if service["state"] == RUNNING:
        check_state(run, versions, version)
        return "new link recorded, service running: already up to date" + note, version
    check(run.service()["state"] != RUNNING, "the up-to-date run started the service")
    versions.publish(version + 1)
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, ["[INFO] New package detected. Starting update.", UPDATED])
    check_state(run, versions, version + 1)
    return ("new link recorded, service not started: up to date without start, then updated"
            + note), version + 1


def state_name(service):
    return {1: "stopped", 2: "starting", 3: "stopping", 4: "running"}.get(service["state"],
                                                                          str(service["state"]))


def run_update_points(run, points, large):
    started = time.monotonic()
    versions = Versions(run, large)
    versions.publish(1)
    code, lines, _ = run.setup(ANSWERS)
    expect_exit(code, 0, lines)
    check_state(run, versions, 1)
    installed = 1
    tally = Tally("update")
    for point in points:
        version = installed + 1
        outcome = None
        link = versions.publish(version, rofs=point.rofs)
        package = "/Upgrade/" + link.rsplit("/", 1)[1]
        try:
            if point.fault:
                run.net.fault("primary", package, point.fault)
            outcome = run_and_kill(run, point)
            run.net.clear_fault("primary", package)
            check(outcome["fired"], "kill point never reached")
            result, installed = update_after_kill(run, versions, version, outcome)
            tally.add(point, outcome, result + staying(run))
        except (ScenarioFailure, OSError, ValueError) as error:
            run.net.clear_fault("primary", package)
            tally.add(point, outcome, f"FAILED: {str(error).splitlines()[0]}", error)
            # Start the chain again from a clean installation of the newest package.
            reset_machine(run)
            installed = max(versions.links) + 1
            versions.publish(installed)
            code, lines, _ = run.setup(ANSWERS)
            expect_exit(code, 0, lines)
    tally.finish(started, run)


# --- scenarios ------------------------------------------------------------------------------

WORK = "Orvaner/_update_temp"


def scenario_install_lines(run):
    """A kill when each log line of a first installation appears."""
    run_install_points(run, [
        KillPoint("started", line="[INFO] Orvane.Setup started."),
        KillPoint("service not found", line="[INFO] Service not found."),
        KillPoint("link loaded", line="[INFO] Remote update text loaded from: "),
        KillPoint("downloading", line="[INFO] Downloading package: "),
        KillPoint("extracting", line="[INFO] Extracting package..."),
        KillPoint("updater copied", line="[INFO] Updater.exe was not found."),
        KillPoint("key and secret saved", line="[INFO] Key/Secret were saved"),
        KillPoint("delayed start warning", line="[WARN] Could not set delayed auto start"),
        KillPoint("finished", line=INSTALLED),
    ], large=False)


def scenario_install_mid_step(run):
    """Kills in the middle of the long steps of a first installation."""
    tree = FOLDER
    run_install_points(run, [
        KillPoint("slow download", fault="slow 200000", appears=WORK + "/_downloads/*"),
        KillPoint("extracting the blob", appears=WORK + "/extracted/blob.bin"),
        KillPoint("extracting many files", appears=WORK + "/extracted/many/file-150.txt"),
        KillPoint("copying the blob", after="[INFO] Extracting package...",
                  event=(tree, "blob.bin", IN_CREATE | IN_MODIFY)),
        KillPoint("copying many files", after="[INFO] Extracting package...",
                  event=(tree + "\\many", "file-", IN_CREATE), count=SMALL_FILES // 2),
        KillPoint("copying appsettings.json", after="[INFO] Extracting package...",
                  event=(tree, "appsettings.json", IN_CREATE | IN_MODIFY)),
        KillPoint("copying Updater.exe", after="[INFO] Extracting package...",
                  event=(tree, "Updater.exe", IN_CREATE | IN_MODIFY)),
        KillPoint("writing appsettings.json", after="[INFO] Updater.exe was not found.",
                  event=(tree, "appsettings.json", IN_CREATE | IN_MODIFY | IN_MOVED_TO)),
        KillPoint("writing pkglink.txt", after="[INFO] Key/Secret were saved",
                  event=(tree, "pkglink.txt", IN_CREATE | IN_MODIFY)),
        KillPoint("pkglink.txt in place", after="[INFO] Key/Secret were saved",
                  event=(tree, "pkglink.txt", IN_MOVED_TO)),
    ], large=True)


def scenario_update_lines(run):
    """A kill when each log line of an update appears, one update after another."""
    run_update_points(run, [
        KillPoint("started", line="[INFO] Orvane.Setup started."),
        KillPoint("service found", line="[INFO] Service found. Installation folder: "),
        KillPoint("link loaded", line="[INFO] Remote update text loaded from: "),
        KillPoint("new package", line="[INFO] New package detected. Starting update."),
        KillPoint("downloading", line="[INFO] Downloading package: "),
        KillPoint("extracting", line="[INFO] Extracting package..."),
        KillPoint("force paths loaded", line="[INFO] Config force replace path loaded"),
        KillPoint("configuration merged", line="[INFO] appsettings.json merged"),
        KillPoint("finished", line=UPDATED),
    ], large=False)


def scenario_update_mid_step(run):
    """Kills in the middle of the long steps of an update."""
    work = "users/*/Temp/Orvane.Setup/update-*"
    run_update_points(run, [
        KillPoint("slow download", fault="slow 200000", appears=work + "/_downloads/*"),
        KillPoint("extracting the blob", appears=work + "/extracted/blob.bin"),
        KillPoint("stopping the service", after="[INFO] Extracting package...", agent_exits=True),
        KillPoint("copying the blob", after="[INFO] Extracting package...",
                  event=(FOLDER, "blob.bin", IN_CREATE | IN_MODIFY)),
        KillPoint("copying many files", after="[INFO] Extracting package...",
                  event=(FOLDER + "\\many", "file-", IN_MODIFY), count=SMALL_FILES // 2),
        KillPoint("writing appsettings.json", after="[INFO] Config force replace path loaded",
                  event=(FOLDER, "appsettings.json", IN_CREATE | IN_MODIFY)),
        KillPoint("writing pkglink.txt", after="[INFO] appsettings.json merged",
                  event=(FOLDER, "pkglink.txt", IN_CREATE | IN_MODIFY)),
        KillPoint("pkglink.txt in place", after="[INFO] appsettings.json merged",
                  event=(FOLDER, "pkglink.txt", IN_MOVED_TO)),
    ], large=True)


def scenario_update_rofs(run):
    """Kills during a ROFS (clean-folder) update."""
    rofs = "[WARN] ROFS package detected. Cleaning installation folder"
    run_update_points(run, [
        KillPoint("ROFS detected", line="[INFO] New ROFS package detected.", rofs=True),
        KillPoint("ROFS clean-up starts", line=rofs, rofs=True),
        KillPoint("ROFS clean-up in progress", after=rofs, rofs=True,
                  event=(FOLDER + "\\many", "file-", IN_DELETE), count=SMALL_FILES // 2),
        KillPoint("copying after clean-up", after=rofs, rofs=True,
                  event=(FOLDER, "OrvaneCloudMonitorAgent.exe", IN_CREATE | IN_MODIFY)),
        KillPoint("ROFS configuration merged", line="[INFO] appsettings.json merged", rofs=True),
    ], large=True)


if __name__ == "__main__":
    main(globals())
