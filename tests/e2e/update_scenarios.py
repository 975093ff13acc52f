"""Update of an installed agent, end to end: a first installation by the real
Orvane.Setup.exe, then a newer package published on the local update hosts."""
import json
import os
import shutil

from e2e import (TIMESTAMP, BOM, RUNNING, SERVICE, check, config_of, expect_exit, expect_lines,
                 expect_no_access_warnings, main)

TEMPLATE_V1 = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/v1"},
    "Logging": {"Level": "Information", "Retired": True},
    "Sampling": {"IntervalSeconds": 60},
}
# Adds Features, forces Logging.Level and FarmConfig.Endpoint, drops Logging.Retired.
TEMPLATE_V2 = {
    "FarmConfig": {"ApiKey": "<your key>", "ApiSecret": "<your secret>",
                   "Endpoint": "https://farm.example/v2"},
    "Features": {"Inventory": True},
    "Logging": {"Level": "Warning"},
    "Sampling": {"IntervalSeconds": 30},
    "Setup": {"ForceReplace": ["Logging.Level", " farmconfig.endpoint "]},
}
START = ["[INFO] Orvane.Setup started."]


def install_v1(run):
    link = run.publish_package("agent-1.0.zip", {
        "appsettings.json": json.dumps(TEMPLATE_V1), "agent-data.txt": "version 1\n",
        "retired.txt": "only in version 1\n"})
    code, lines, _ = run.setup(b"KEY-1\nSECRET-1\n")
    expect_exit(code, 0, lines)
    check(run.service()["state"] == RUNNING, "installed agent not running")
    return link


def v2_files():
    return {"appsettings.template.json": json.dumps(TEMPLATE_V2),
            "agent-data.txt": "version 2\n",
            "pkglink.txt": "must not be copied\n",
            "logs/package.log": "package logs must not be copied\n",
            "data/cache/seed.bin": b"\x01\x02",
            "Updater.exe": b"not the setup program",
            "bin/new.dll": b"new in version 2"}


def expect_up_to_date(run, link):
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, START + ["[INFO] Service found. Installation folder: C:\\Orvaner",
                                 "[INFO] Already up to date. No action required."])
    zips = [d for d in run.downloads() if d.endswith(".zip")]
    check(zips == ["primary.orvane.test /Upgrade/agent-1.0.zip"], f"packages fetched: {zips}")
    check(run.service()["state"] == RUNNING, "service touched")


def scenario_up_to_date(run):
    link = install_v1(run)
    local = "C:\\Orvaner\\pkglink.txt"
    for text in (link.upper(), f"  {link}  \r\n\r\n", link + "\n"):
        with open(run.path(local), "wb") as f:
            f.write(BOM + text.encode())
        expect_up_to_date(run, link)
    # An empty local link is never up to date.
    with open(run.path(local), "wb") as f:
        f.write(BOM + b"  \r\n")
    run.net.fault("primary", "/Upgrade/agent-1.0.zip", "status 503")
    code, lines, _ = run.setup(b"")
    expect_exit(code, 4, lines)
    expect_lines(lines, ["[INFO] New package detected. Starting update."])


def scenario_new_package(run):
    install_v1(run)
    os.makedirs(run.path("C:\\Orvaner\\logs"))
    open(run.path("C:\\Orvaner\\logs\\agent.log"), "w").write("agent's own log\n")
    os.makedirs(run.path("C:\\Orvaner\\data"))
    open(run.path("C:\\Orvaner\\data\\state.db"), "w").write("agent state\n")
    updater = run.read("C:\\Orvaner\\Updater.exe")

    link = run.publish_package("agent-2.0.zip", v2_files())
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, START + [
        "[INFO] Service found. Installation folder: C:\\Orvaner",
        "[INFO] New package detected. Starting update.",
        f"[INFO] Downloading package: {link}",
        "[INFO] Extracting package...",
        "[INFO] Config force replace path loaded from package appsettings.json: Logging.Level",
        "[INFO] Config force replace path loaded from package appsettings.json:  farmconfig.endpoint ",
        "[INFO] appsettings.json merged: new keys added, removed keys deleted, existing values "
        "preserved; Setup.ForceReplace paths were applied and Setup metadata was not written to "
        "client config.",
        "[INFO] Update finished successfully."])
    expect_no_access_warnings(lines)

    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 2\n", "file not replaced")
    check(run.read("C:\\Orvaner\\bin\\new.dll") == b"new in version 2", "new file missing")
    check(run.read("C:\\Orvaner\\retired.txt") == b"only in version 1\n", "old file removed")
    check(run.read("C:\\Orvaner\\logs\\agent.log") == b"agent's own log\n", "logs touched")
    check(not run.exists("C:\\Orvaner\\logs\\package.log"), "package logs copied")
    check(not run.exists("C:\\Orvaner\\data\\cache"), "package data copied")
    check(run.read("C:\\Orvaner\\Updater.exe") == updater, "Updater.exe replaced")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "new link not recorded")
    config = config_of(run.read("C:\\Orvaner\\appsettings.json"))
    check(config == {
        "FarmConfig": {"ApiKey": "KEY-1", "ApiSecret": "SECRET-1",
                       "Endpoint": "https://farm.example/v2"},
        "Features": {"Inventory": True},
        "Logging": {"Level": "Warning"},
        "Sampling": {"IntervalSeconds": 60},
    }, f"merged configuration: {config}")
    check(run.service()["state"] == RUNNING, "service not running after the update")


def scenario_rofs_package(run):
    install_v1(run)
    os.makedirs(run.path("C:\\Orvaner\\logs"))
    open(run.path("C:\\Orvaner\\logs\\agent.log"), "w").write("old log\n")
    link = run.publish_package("agent-2.0-rofs.ZIP", v2_files())
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, START + [
        "[INFO] New ROFS package detected. Starting clean-folder update.",
        "[WARN] ROFS package detected. Cleaning installation folder before replacement; only "
        "appsettings.json and Updater.exe are preserved.",
        "[INFO] Update finished successfully."])
    check(not run.exists("C:\\Orvaner\\retired.txt"), "old file survived the clean-up")
    check(not run.exists("C:\\Orvaner\\logs\\agent.log"), "old logs survived the clean-up")
    check(run.read("C:\\Orvaner\\logs\\package.log") == b"package logs must not be copied\n",
          "a ROFS package's logs folder is deployed")
    check(run.read("C:\\Orvaner\\Updater.exe") == open(run.setup_exe, "rb").read(), "Updater.exe")
    farm = config_of(run.read("C:\\Orvaner\\appsettings.json"))["FarmConfig"]
    check(farm["ApiKey"] == "KEY-1", f"key lost: {farm}")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "new link")
    check(run.service()["state"] == RUNNING, "service not running")


def scenario_package_only_on_fallback(run):
    install_v1(run)
    path = run.package("agent-2.0.zip", v2_files())
    run.net.publish_file("fallback", "/Upgrade/agent-2.0.zip", path)
    link = run.net.url("primary", "/Upgrade/agent-2.0.zip")
    run.net.publish("primary", "/Upgrade/pkglink.txt", link + "\n")
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, START + [
        "[WARN] Primary download failed or timed out. Trying fallback URL. Reason: HTTP status is "
        "not success: 404",
        "[INFO] Package downloaded from fallback URL: "
        + run.net.url("fallback", "/Upgrade/agent-2.0.zip"),
        "[INFO] Update finished successfully."])
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 2\n", "not updated")


def scenario_failed_preparation(run):
    old_link = install_v1(run)
    run.net.publish("primary", "/Upgrade/agent-2.0.zip", b"this is not a zip archive")
    run.net.publish("primary", "/Upgrade/pkglink.txt", run.net.url("primary", "/Upgrade/agent-2.0.zip"))
    code, lines, _ = run.setup(b"")
    expect_exit(code, 4, lines)
    expect_lines(lines, START + ["[ERROR] Extraction failed: Shell cannot open ZIP archive."])
    check(run.service()["state"] == RUNNING, "service stopped by a failed preparation")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + old_link.encode() + b"\n", "link changed")
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 1\n", "files changed")


def scenario_service_in_other_folder(run):
    # A folder name beyond Latin-1 also shows that the console keeps every line after it.
    home = "C:\\Agent H\u00f8m\u00e9 \u20ac"
    install_v1(run)
    run.svcctl("stop", SERVICE)
    run.svcctl("delete", SERVICE)
    shutil.copytree(run.path("C:\\Orvaner"), run.path(home))
    run.svcctl("create", SERVICE, f'"{home}\\OrvaneCloudMonitorAgent.exe" --console')
    run.svcctl("start", SERVICE)
    link = run.publish_package("agent-2.0.zip", v2_files())
    code, lines, console = run.setup(b"")
    expect_exit(code, 0, lines)
    expected = START + [f"[INFO] Service found. Installation folder: {home}",
                        "[INFO] Update finished successfully."]
    expect_lines(lines, expected)
    console_lines = [TIMESTAMP.sub("", line) for line in console.replace("\r\n", "\n").split("\n")]
    expect_lines(console_lines, expected)
    check(run.read(home + "\\agent-data.txt") == b"version 2\n", "other folder not updated")
    check(run.read(home + "\\pkglink.txt") == BOM + link.encode() + b"\n", "link")
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 1\n", "C:\\Orvaner touched")
    check(run.service()["state"] == RUNNING, "service not running")


def scenario_updater_runs_update(run):
    install_v1(run)
    link = run.publish_package("agent-2.0.zip", v2_files())
    code, lines, _ = run.setup(b"", program=run.path("C:\\Orvaner\\Updater.exe"))
    expect_exit(code, 0, lines)
    expect_lines(lines, START + ["[INFO] Service found. Installation folder: C:\\Orvaner",
                                 "[INFO] New package detected. Starting update.",
                                 "[INFO] Update finished successfully."])
    check(not any("Updater.exe" in line for line in lines), "Updater.exe copied over itself")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "link")
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 2\n", "not updated")


WAITING = "[INFO] Another Orvane.Setup run is in progress. Waiting for it to finish."
OTHER_DONE = "[INFO] The other Orvane.Setup run has finished. Continuing."
ABANDONED = "[WARN] A previous Orvane.Setup run ended without finishing. Continuing."


def publish_slow_v2(run, seconds=4):
    """Publishes version 2, whose download takes about `seconds`; returns its link."""
    link = run.publish_package("agent-2.0.zip", v2_files())
    size = os.path.getsize(os.path.join(run.packages, "agent-2.0.zip"))
    run.net.fault("primary", "/Upgrade/agent-2.0.zip", f"slow {max(1000, size // seconds)}")
    return link


def scenario_concurrent_runs(run):
    install_v1(run)
    start = len(run.log_lines())
    link = publish_slow_v2(run, seconds=6)
    first = run.start_setup()
    run.wait_for_log(f"[INFO] Downloading package: {link}", after=start)
    second = run.start_setup()
    run.wait_for_log(WAITING, after=start)
    first_code, first_lines = run.finish_setup(first)
    second_code, second_lines = run.finish_setup(second)
    expect_exit(first_code, 0, first_lines)
    expect_exit(second_code, 0, second_lines)

    # The second run waited while the first deployed, then found the new package installed.
    expect_lines(second_lines, START + [WAITING, OTHER_DONE,
                                        "[INFO] Service found. Installation folder: C:\\Orvaner",
                                        "[INFO] Already up to date. No action required."])
    check(WAITING not in first_lines, "the first run waited")
    log = run.log_lines()[start:]
    expect_lines(log, ["[INFO] New package detected. Starting update.",
                       f"[INFO] Downloading package: {link}", WAITING,
                       "[INFO] Update finished successfully.", OTHER_DONE,
                       "[INFO] Service found. Installation folder: C:\\Orvaner",
                       "[INFO] Already up to date. No action required."])
    check(log.count("[INFO] New package detected. Starting update.") == 1, "deployed twice")
    zips = [d for d in run.downloads() if d.endswith("agent-2.0.zip")]
    check(len(zips) == 1, f"version 2 fetched {len(zips)} times")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "new link")
    check(run.service()["state"] == RUNNING, "service not running")


def scenario_killed_run(run):
    install_v1(run)
    start = len(run.log_lines())
    link = publish_slow_v2(run, seconds=20)
    downloading = f"[INFO] Downloading package: {link}"

    # Killed with nobody waiting: nothing is left behind that holds up the next run.
    killed = run.start_setup()
    at = run.wait_for_log(downloading, after=start)
    run.kill_setup(killed)
    # The next run takes the lock at once; killed while a third run waits for it, the lock is
    # abandoned, and the waiting run takes it over and does the update.
    holder = run.start_setup()
    at = run.wait_for_log(downloading, after=at + 1)
    waiter = run.start_setup()
    run.wait_for_log(WAITING, after=at + 1)
    run.net.clear_fault("primary", "/Upgrade/agent-2.0.zip")
    run.kill_setup(holder)
    code, lines = run.finish_setup(waiter)
    expect_exit(code, 0, lines)
    expect_lines(lines, START + [WAITING, ABANDONED, "[INFO] New package detected. Starting update.",
                                 "[INFO] Update finished successfully."])
    log = run.log_lines()[start:]
    check(log.count(WAITING) == 1, "a run waited for the killed run that nobody waited for")
    check(OTHER_DONE not in log, "a killed run counted as finished")
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 2\n", "not updated")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "new link")
    check(run.service()["state"] == RUNNING, "service not running")


if __name__ == "__main__":
    main(globals())
