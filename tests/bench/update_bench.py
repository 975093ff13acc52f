#!/usr/bin/env python3
"""Benchmark of the update path (run by scripts/bench.sh, not by the tests): the real
Orvane.Setup.exe / Updater.exe under warm Wine against the local update hosts, and its
baselines in the same run on the same machine. Prints one table of medians with min and max.

1. Up-to-date check: Updater.exe finding the link unchanged, against a trivial Windows program
   started the same way and curl fetching the same link file.
2. Full update of a package of about 200 MB in about 2,000 files: wall time, peak resident set
   of the program's own process and the time of each phase, against curl downloading the same
   archive, Info-ZIP unzip extracting it and cp -r copying the payload.
3. Scaling: the same for packages of about 20, 200 and 800 MB.

How the phases are told apart. The harness timestamps each console line as it arrives (the
log flushes every line) with the monotonic clock; where no log line marks a boundary it
observes the machine instead: the last archive entry reaching its full size in the work
folder (extraction done), the agent service's process ending (stop requested) and starting
again, the change times of the copied files (copy) and of "pkglink.txt". Peak memory is the
largest VmHWM of /proc/<pid>/status of the Linux process that runs the exe (Wine runs it
in the process the harness starts, renamed after the exe), sampled every 10 ms.

Packages are made once with Info-ZIP zip and kept in BUILD/bench/packages; baseline outputs
go to BUILD/bench/work and are removed; the Wine prefix is TestNet's temporary copy.
"""
import argparse
import ctypes
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from testnet import TestNet, in_namespace  # noqa: E402

AGENT_EXE = "OrvaneCloudMonitorAgent.exe"
MEAN_FILE_BYTES = 100_000  # 2,000 files in 200 MB
TICK = 0.010               # sampling interval of the watcher, seconds
TEMPLATE = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/v2"},
    "Features": {"Inventory": True},
    "Logging": {"Level": "Warning"},
    "Setup": {"ForceReplace": ["Logging.Level"]},
}


# --- packages ----------------------------------------------------------------------------

def make_package(folder, size_mb, agent_exe):
    """A package of about size_mb MB (10^6 bytes) of payload, in files of about 100 KB on
    average, half compressible text and half random bytes, zipped by Info-ZIP zip. Made once;
    returns its description (kept beside it as JSON)."""
    name = f"agent-{size_mb}mb"
    archive = os.path.join(folder, name + ".zip")
    described = archive + ".json"
    if os.path.exists(described) and os.path.exists(archive):
        with open(described) as f:
            return json.load(f)
    print(f"making the {size_mb} MB package (once; kept in {folder})", flush=True)
    tree = os.path.join(folder, name + ".tree")
    shutil.rmtree(tree, ignore_errors=True)
    top = os.path.join(tree, "Agent")
    os.makedirs(top)
    shutil.copyfile(agent_exe, os.path.join(top, AGENT_EXE))
    with open(os.path.join(top, "appsettings.template.json"), "w") as f:
        json.dump(TEMPLATE, f, indent=2)

    rng = random.Random(size_mb)
    words = [b"agent", b"monitor", b"service", b"config", b"metric", b"value", b"update", b"\n"]
    text = b" ".join(rng.choice(words) + b"%d" % rng.randrange(1000) for _ in range(400_000))
    files = max(1, size_mb * 1_000_000 // MEAN_FILE_BYTES)
    sizes = [min(rng.expovariate(1 / MEAN_FILE_BYTES), 12 * MEAN_FILE_BYTES) for _ in range(files)]
    scale = (size_mb * 1_000_000 - 1024 * files) / sum(sizes)  # the total comes out right
    total = 0
    for i in range(files):
        size = int(sizes[i] * scale) + 1024
        sub = os.path.join(top, "mod%02d" % (i % 40), "sub%d" % (i % 3))
        os.makedirs(sub, exist_ok=True)
        if i % 2:
            data = os.urandom(size)
        else:
            start = rng.randrange(len(text) - size)
            data = text[start:start + size]
        with open(os.path.join(sub, "file%05d.%s" % (i, "bin" if i % 2 else "txt")), "wb") as f:
            f.write(data)
        total += len(data)
    partial = archive + ".partial"
    if os.path.exists(partial):
        os.remove(partial)
    subprocess.run(["zip", "-q", "-r", partial, "Agent"], cwd=tree, check=True)
    os.replace(partial, archive)
    with zipfile.ZipFile(archive) as z:
        entries = [e for e in z.infolist() if not e.is_dir()]
    description = {
        "size_mb": size_mb, "archive": archive, "archive_bytes": os.path.getsize(archive),
        "files": len(entries), "payload_bytes": sum(e.file_size for e in entries),
        # The extractor writes entries in central-directory order: this one comes last.
        "last_entry": entries[-1].filename, "last_entry_bytes": entries[-1].file_size,
    }
    shutil.rmtree(tree)
    with open(described, "w") as f:
        json.dump(description, f, indent=1)
    return description


def make_base_package(folder, agent_exe):
    """The small package installed first: the agent and its configuration."""
    archive = os.path.join(folder, "agent-base.zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(agent_exe, "Agent/" + AGENT_EXE)
        template = dict(TEMPLATE, Setup={})
        z.writestr("Agent/appsettings.json", json.dumps(template, indent=2))
    return archive


# --- the machine -------------------------------------------------------------------------

def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kb = int(f.readline().split()[1])
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return (f"{cpu}, {os.cpu_count()} cores, {memory_kb / 1024 / 1024:.1f} GiB memory, "
            f"{wine}, Linux {os.uname().release}")


def load_text():
    return "%.2f %.2f %.2f" % os.getloadavg()


def wait_for_quiet(limit_seconds, threshold=1.0):
    """Waits (polling once a minute, at most limit_seconds) for a 1-minute load average below
    the threshold, since other work on this machine distorts every figure."""
    deadline = time.monotonic() + limit_seconds
    while os.getloadavg()[0] >= threshold and time.monotonic() < deadline:
        print(f"load average {load_text()}: waiting for it to fall below {threshold} "
              f"(at most {int(deadline - time.monotonic())} s more)", flush=True)
        time.sleep(min(60, max(1, deadline - time.monotonic())))
    print(f"load average {load_text()}: measuring", flush=True)


# --- measuring one process ---------------------------------------------------------------

def proc_status(pid):
    """Name, VmHWM and VmRSS (kB) of a live process, or None."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
    except OSError:
        return None
    kb = lambda key: int(fields[key].split()[0]) if key in fields else 0  # noqa: E731
    return fields["Name"].strip(), kb("VmHWM"), kb("VmRSS")


class Measured:
    """One finished process: wall time, exit code, timestamped output lines, peak memory."""

    def __init__(self):
        self.start = self.end = 0.0
        self.code = None
        self.lines = []         # (monotonic time, text)
        self.names = set()      # process names seen (to show the right process was sampled)
        self.sampled_kb = 0     # largest VmHWM (or VmRSS) sampled
        self.marks = {}         # watcher events: name -> monotonic time

    @property
    def wall(self):
        return self.end - self.start

    def line_time(self, prefix):
        for t, text in self.lines:
            message = text.split("] ", 2)[-1]
            if message.startswith(prefix):
                return t
        return None

    def text(self):
        return "\n".join(text for _, text in self.lines)


def measure(command, env=None, stdin_data=None, watch=None):
    """Runs command, reading its standard output line by line with the monotonic time of each
    line's arrival, sampling /proc/<pid>/status every TICK and calling watch(now, result) at
    each tick. (Not wait4's ru_maxrss: after Python's vfork it holds Python's own size.)"""
    result = Measured()
    result.start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT,
                               stdin=subprocess.PIPE if stdin_data else subprocess.DEVNULL)
    if stdin_data:
        process.stdin.write(stdin_data)
        process.stdin.close()

    def read():
        for raw in process.stdout:
            result.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\r\n")))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    while True:
        pid, status = os.waitpid(process.pid, os.WNOHANG)
        if pid:
            result.end = time.monotonic()
            break
        sample = proc_status(process.pid)
        if sample:
            result.names.add(sample[0])
            result.sampled_kb = max(result.sampled_kb, sample[1], sample[2])
        if watch:
            watch(time.monotonic(), result)
        time.sleep(TICK)
    process.returncode = result.code = os.waitstatus_to_exitcode(status)
    reader.join(timeout=30)
    return result


# --- the agent service's process ---------------------------------------------------------

def agent_processes(prefix):
    """Pids of the agent exe running in this Wine prefix."""
    found = []
    marker = b"WINEPREFIX=" + prefix.encode() + b"\0"
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if AGENT_EXE.encode() not in f.read():
                    continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if marker not in f.read():
                    continue
        except OSError:
            continue
        found.append(int(entry))
    return found


def process_alive(pid):
    """True while the process runs (an exited one may linger as a zombie until reaped)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def process_start_monotonic(pid):
    """When a process started, on the monotonic clock (10 ms resolution), or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    since_boot = int(fields[19]) / os.sysconf("SC_CLK_TCK")
    return since_boot - (time.clock_gettime(time.CLOCK_BOOTTIME) - time.monotonic())


class Deletions:
    """Notices the first file deleted in a folder tree (inotify), to see where the removal of
    the update's work folder begins: nothing else deletes there after extraction."""

    IN_DELETE, IN_NONBLOCK, IN_CLOEXEC = 0x200, os.O_NONBLOCK, os.O_CLOEXEC

    def __enter__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = None
        return self

    def __exit__(self, *exc):
        if self.fd is not None:
            os.close(self.fd)
        return False

    def watch_tree(self, root):
        self.fd = self.libc.inotify_init1(self.IN_NONBLOCK | self.IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        for folder, _, _ in os.walk(root):
            if self.libc.inotify_add_watch(self.fd, folder.encode(), self.IN_DELETE) < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)

    def seen(self):
        try:
            return len(os.read(self.fd, 65536)) > 0
        except BlockingIOError:
            return False


# --- the benchmark -----------------------------------------------------------------------

class Bench:
    def __init__(self, net, args, packages, base):
        self.net = net
        self.args = args
        self.packages = packages
        self.build = os.path.abspath(args.build_dir)
        self.setup_exe = os.path.join(self.build, "src", "driver", "Orvane.Setup.exe")
        self.trivial_exe = os.path.join(self.build, "tests", "bench", "bench_trivial.exe")
        self.install = os.path.join(net.drive_c, "Orvaner")
        self.updater = os.path.join(self.install, "Updater.exe")
        self.work = os.path.join(self.build, "bench", "work")
        self.ca = os.path.join(self.build, "test-pki", "ca.pem")
        self.rows = {}  # section -> label -> list of values, in the order first recorded
        self.base = base

    def record(self, section, label, value):
        self.rows.setdefault(section, {}).setdefault(label, []).append(value)

    def wine(self, program, stdin_data=None, watch=None):
        return measure(["wine", program], env=self.net.env, stdin_data=stdin_data, watch=watch)

    def native(self, command):
        subprocess.run(["sync"], check=True)
        result = measure(command)
        if result.code != 0:
            raise RuntimeError(f"{' '.join(command)} failed ({result.code}):\n{result.text()}")
        return result

    def curl(self, url, output):
        return self.native(["curl", "-sS", "--fail", "--cacert", self.ca, "-o", output, url])

    def publish_link(self, name, archive):
        self.net.publish_file("primary", "/Upgrade/" + name, archive)
        link = self.net.url("primary", "/Upgrade/" + name)
        self.net.publish("primary", "/Upgrade/pkglink.txt", link + "\r\n")
        return link

    def expect(self, result, code, line, what):
        if result.code != code or result.line_time(line) is None or "[ERROR]" in result.text():
            raise RuntimeError(f"{what}: exit code {result.code}\n{result.text()}")

    # 0. A first installation, so that the service exists and runs.
    def install_base(self):
        self.publish_link("agent-base.zip", self.base)
        result = self.wine(self.setup_exe, stdin_data=b"BENCH-KEY\nBENCH-SECRET\n")
        self.expect(result, 0, "Installation finished successfully.", "first installation")
        if not agent_processes(self.net.prefix):
            raise RuntimeError("the agent service does not run after the installation")

    # 1. Up-to-date check.
    def up_to_date(self, runs):
        section = "Up-to-date check (link unchanged)"
        link_url = self.net.url("primary", "/Upgrade/pkglink.txt")
        self.wine(self.trivial_exe)  # one start of each to load their pages, not counted
        self.wine(self.updater)
        for run in range(runs):
            updater = self.wine(self.updater)
            self.expect(updater, 0, "Already up to date. No action required.", "up-to-date run")
            trivial = self.wine(self.trivial_exe)
            if trivial.code != 0:
                raise RuntimeError("trivial program failed:\n" + trivial.text())
            fetch = self.curl(link_url, "/dev/null")
            self.record(section, "Updater.exe, wall time (s)", updater.wall)
            self.record(section, "Updater.exe, peak resident set (MB)", updater.sampled_kb / 1024)
            self.record(section, "baseline: trivial Windows program, warm Wine (s)", trivial.wall)
            self.record(section, "baseline: curl of pkglink.txt (s)", fetch.wall)
            self.record(section, "Updater.exe minus trivial program (s)", updater.wall - trivial.wall)
            self.check_process(updater, "Updater.exe")
            print(f"  up to date, run {run + 1}: Updater.exe {updater.wall:.3f} s, trivial "
                  f"{trivial.wall:.3f} s, curl {fetch.wall:.3f} s", flush=True)

    @staticmethod
    def check_process(result, exe_name):
        """The sampled process was the exe itself (Wine runs it in the process it started as,
        renamed after the exe; Linux shows 15 characters of the name)."""
        if exe_name[:15] not in result.names:
            raise RuntimeError(f"sampled processes {result.names}, not {exe_name}")

    # 2 and 3. Full updates.
    def reset_install_folder(self):
        """Back to the base installation's files, so that every update copies the same."""
        for name in os.listdir(self.install):
            path = os.path.join(self.install, name)
            if name.startswith("mod") and os.path.isdir(path):
                shutil.rmtree(path)
        template = os.path.join(self.install, "appsettings.template.json")
        if os.path.exists(template):
            os.remove(template)

    def full_update(self, package, run):
        size = package["size_mb"]
        section = f"Full update, {size} MB package in {package['files']} files"
        self.reset_install_folder()
        name = f"agent-{size}mb-run{run}.zip"
        link = self.publish_link(name, package["archive"])
        old_agents = agent_processes(self.net.prefix)
        temp = os.path.join(self.net.temp_folder, "Orvane.Setup")
        last_parts = package["last_entry"].split("/")
        state = {"work": None}

        def watch(now, result):
            marks = result.marks
            if "agent gone" not in marks and old_agents and \
                    not any(process_alive(pid) for pid in old_agents):
                marks["agent gone"] = now
            if deletions.fd is not None and "removal" not in marks and deletions.seen():
                marks["removal"] = now
            if "extracted" in marks or not result.lines or \
                    result.line_time("Extracting package...") is None:
                return
            if state["work"] is None:
                folders = [f for f in os.listdir(temp) if f.startswith("update-")] \
                    if os.path.isdir(temp) else []
                if not folders:
                    return
                work = os.path.join(temp, max(folders, key=lambda f: os.stat(
                    os.path.join(temp, f)).st_mtime))
                state["work"] = os.path.join(work, "extracted", *last_parts)
                state["folder"] = work
            try:
                if os.stat(state["work"]).st_size == package["last_entry_bytes"]:
                    marks["extracted"] = now
                    deletions.watch_tree(state["folder"])
            except OSError:
                pass

        subprocess.run(["sync"], check=True)
        real_offset = time.time() - time.monotonic()
        with Deletions() as deletions:
            result = self.wine(self.updater, watch=watch)
        self.expect(result, 0, "Update finished successfully.", f"update with {name}")
        self.check_process(result, "Updater.exe")
        installed = self.installed_payload()
        if len(installed) != package["files"]:
            raise RuntimeError(f"{len(installed)} payload files installed, {package['files']} expected")
        new_agents = [p for p in agent_processes(self.net.prefix) if p not in old_agents]
        if len(new_agents) != 1:
            raise RuntimeError(f"agent processes after the update: {new_agents}")

        ctimes = sorted(os.stat(p).st_ctime_ns / 1e9 - real_offset for p in installed)
        link_written = os.stat(os.path.join(self.install, "pkglink.txt")).st_ctime_ns / 1e9 - real_offset
        marks = [
            ("start-up and link check", result.start),
            ("download", result.line_time("New package detected.")),
            ("extraction", result.line_time("Extracting package...")),
            ("package validation and service stop", result.marks.get("extracted")),
            ("copy into the installation folder", ctimes[0]),
            ("configuration merge", ctimes[-1]),
            ("link file and service start", result.line_time("appsettings.json merged")),
            ("work folder removal", result.marks.get("removal")),
            ("exit", result.line_time("Update finished successfully.")),
            (None, result.end),
        ]
        missing = [label for label, t in marks if t is None]
        if missing or "agent gone" not in result.marks:
            raise RuntimeError(f"phase marks not seen: {missing} (seen: {result.marks})\n"
                               + result.text())
        # Coarse file-time clocks may put a mark a few ms before the one before it.
        times = [t for _, t in marks]
        for i in range(1, len(times)):
            times[i] = max(times[i], times[i - 1])
        phases = [(marks[i][0], times[i + 1] - times[i]) for i in range(len(marks) - 1)]
        for label, seconds in phases:
            self.record(section, "phase: " + label + " (s)", seconds)
        self.record(section, "Updater.exe, wall time (s)", result.wall)
        self.record(section, "Updater.exe, peak resident set (MB)", result.sampled_kb / 1024)
        # Where the stop request falls inside its phase: the agent's process ends soon after.
        self.record(section, "  of which: extraction end to agent process ended (s)",
                    result.marks["agent gone"] - result.marks["extracted"])
        self.record(section, "  of which: link file written to agent process started (s)",
                    process_start_monotonic(new_agents[0]) - link_written)

        # Baselines on the same archive, from the same host.
        os.makedirs(self.work, exist_ok=True)
        downloaded = os.path.join(self.work, "package.zip")
        extracted = os.path.join(self.work, "unzip")
        copied = os.path.join(self.work, "copy")
        for path in (downloaded, extracted, copied):
            shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else \
                (os.path.exists(path) and os.remove(path))
        fetch = self.curl(link, downloaded)
        unzip = self.native(["unzip", "-q", "-o", downloaded, "-d", extracted])
        copy = self.native(["cp", "-r", os.path.join(extracted, "Agent"), copied])
        total = fetch.wall + unzip.wall + copy.wall
        self.record(section, "baseline: curl download (s)", fetch.wall)
        self.record(section, "baseline: unzip (s)", unzip.wall)
        self.record(section, "baseline: cp -r payload (s)", copy.wall)
        self.record(section, "baseline: curl + unzip + cp -r (s)", total)
        self.record(section, "baseline: peak resident set, largest of the three (MB)",
                    max(fetch.sampled_kb, unzip.sampled_kb, copy.sampled_kb) / 1024)
        self.record(section, "Updater.exe / baseline sum", result.wall / total)
        for path in (extracted, copied):
            shutil.rmtree(path)
        os.remove(downloaded)
        self.net.unpublish("primary", "/Upgrade/" + name)

        self.record("Scaling", f"{size:>4} MB: wall time (s)", result.wall)
        self.record("Scaling", f"{size:>4} MB: seconds per 100 MB", result.wall / size * 100)
        self.record("Scaling", f"{size:>4} MB: peak resident set (MB)", result.sampled_kb / 1024)
        self.record("Scaling", f"{size:>4} MB: baseline sum, seconds per 100 MB", total / size * 100)
        slowest = max(phases, key=lambda p: p[1])
        print(f"  {size} MB, run {run + 1}: Updater.exe {result.wall:.2f} s, peak "
              f"{result.sampled_kb / 1024:.1f} MB; "
              f"largest phase {slowest[0]} {slowest[1]:.2f} s; baseline {total:.2f} s "
              f"(curl {fetch.wall:.2f}, unzip {unzip.wall:.2f}, cp {copy.wall:.2f})", flush=True)

    def installed_payload(self):
        found = [os.path.join(self.install, AGENT_EXE),
                 os.path.join(self.install, "appsettings.template.json")]
        for name in os.listdir(self.install):
            if name.startswith("mod"):
                for folder, _, files in os.walk(os.path.join(self.install, name)):
                    found.extend(os.path.join(folder, f) for f in files)
        return [p for p in found if os.path.isfile(p)]

    # 4. The table.
    def table(self, header):
        lines = header + ["", "| measurement | median | min | max | runs |",
                          "|---|---:|---:|---:|---:|"]
        order = sorted(self.rows, key=lambda section: section == "Scaling")  # scaling last
        for section in order:
            rows = self.rows[section]
            lines.append(f"| **{section}** | | | | |")
            for label, values in rows.items():
                lines.append(self.row(label, values))
        return lines

    @staticmethod
    def row(label, values):
        digits = 1 if "(MB)" in label else 3 if "s)" in label and max(values) < 10 else 2
        f = lambda v: f"{v:.{digits}f}"  # noqa: E731
        return (f"| {label} | {f(statistics.median(values))} | {f(min(values))} | "
                f"{f(max(values))} | {len(values)} |")


def verdicts(bench, sizes):
    """Plain statements drawn from the scaling rows."""
    rows = bench.rows
    small, large = min(sizes), max(sizes)
    peak = {s: statistics.median(rows["Scaling"][f"{s:>4} MB: peak resident set (MB)"])
            for s in sizes}
    wall = {s: statistics.median(rows["Scaling"][f"{s:>4} MB: wall time (s)"]) for s in sizes}
    out = []
    middle = min(sizes, key=lambda s: abs(s - 200))
    for section, phases in rows.items():
        if section.startswith(f"Full update, {middle} MB"):
            medians = {label: statistics.median(v) for label, v in phases.items()
                       if label.startswith("phase: ")}
            largest = max(medians, key=medians.get)
            total = statistics.median(phases["Updater.exe, wall time (s)"])
            out.append(f"largest cost of a {middle} MB update: {largest[7:-4]}, "
                       f"{medians[largest]:.2f} s of {total:.2f} s (medians)")
    if small != large:
        out.append(f"memory: peak {peak[small]:.1f} MB at {small} MB, {peak[large]:.1f} MB at "
                   f"{large} MB ({peak[large] / peak[small]:.2f}x for a {large // small}x package)")
        out.append(f"time: {wall[small]:.2f} s at {small} MB, {wall[large]:.2f} s at {large} MB "
                   f"({wall[large] / wall[small]:.1f}x for a {large // small}x package)")
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--sizes", default="20,200,800", help="package sizes in MB")
    parser.add_argument("--runs", type=int, default=3, help="full updates per size")
    parser.add_argument("--large-runs", type=int, default=None,
                        help="full updates of packages above 200 MB (default: --runs)")
    parser.add_argument("--check-runs", type=int, default=7, help="up-to-date runs")
    parser.add_argument("--wait-for-quiet", type=int, default=900,
                        help="seconds to wait at most for a 1-minute load below 1.0")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    sizes = [int(s) for s in args.sizes.split(",")]
    folder = os.path.join(build, "bench", "packages")
    agent_exe = os.path.join(build, "tests", "tools", "test_agent", AGENT_EXE)

    if not in_namespace():  # everything here runs once, before TestNet re-runs the script
        os.makedirs(folder, exist_ok=True)
        for size in sizes:
            make_package(folder, size, agent_exe)
        wait_for_quiet(args.wait_for_quiet)
    packages = [make_package(folder, size, agent_exe) for size in sizes]
    base = make_base_package(folder, agent_exe)

    with TestNet(build, name="update-bench") as net:
        bench = Bench(net, args, packages, base)
        load_before = load_text()
        started = time.monotonic()
        try:
            bench.install_base()
            print(f"up-to-date check, {args.check_runs} runs", flush=True)
            bench.up_to_date(args.check_runs)
            for package in packages:
                runs = args.runs if package["size_mb"] <= 200 or args.large_runs is None \
                    else args.large_runs
                print(f"full update, {package['size_mb']} MB, {runs} runs", flush=True)
                for run in range(runs):
                    bench.full_update(package, run)
        finally:
            shutil.rmtree(bench.work, ignore_errors=True)
        header = [
            "Update path benchmark: median, min and max of the runs, all in one run on one machine.",
            f"machine: {machine()}",
            f"load average (1, 5, 15 min): {load_before} before, {load_text()} after "
            f"({time.monotonic() - started:.0f} s of measuring)",
            "packages: " + "; ".join(
                f"{p['size_mb']} MB = {p['files']} files, {p['payload_bytes'] / 1e6:.0f} MB, "
                f"archive {p['archive_bytes'] / 1e6:.0f} MB" for p in packages)
            + " (half text, half random bytes; Info-ZIP zip)",
            "peak resident set: largest VmHWM of the exe's own Linux process (the one Wine runs it "
            "in), sampled every 10 ms; MB = 2^20 bytes here, 10^6 bytes for package sizes",
        ]
        lines = bench.table(header) + [""] + verdicts(bench, sizes)
    text = "\n".join(lines)
    print("\n" + text, flush=True)
    with open(os.path.join(build, "bench", "results.md"), "w") as f:
        f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
