"""First-time installation, end to end: the real Orvane.Setup.exe under Wine installs the
stand-in agent from a real package on the local update hosts."""
import json
import os
import shutil

from e2e import (BOM, RUNNING, SERVICE, check, config_of, expect_exit, expect_lines,
                 expect_no_access_warnings, main)

TEMPLATE = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/api"},
    "Logging": {"Level": "Information"},
    "Setup": {"ForceReplace": ["Logging.Level"]},
}
LINK_LINES = ["[INFO] Orvane.Setup started.",
              "[INFO] Service not found. Starting first-time installation."]


def publish_v1(run, **kwargs):
    files = {"appsettings.json": json.dumps(TEMPLATE), "agent-data.txt": "version 1\n",
             "lib/helper.dll": b"\x00helper-1"}
    return run.publish_package("agent-1.0.zip", files, **kwargs)


def expected_config(key, secret):
    config = json.loads(json.dumps(TEMPLATE))
    del config["Setup"]
    config["FarmConfig"].update(ApiKey=key, ApiSecret=secret)
    return BOM + (json.dumps(config, indent=2, sort_keys=True) + "\n").encode()


def scenario_success(run):
    link = publish_v1(run)
    code, lines, console = run.setup(b"KEY-1\nSECRET-1\n")
    expect_exit(code, 0, lines)
    expect_lines(lines, LINK_LINES + [
        f"[INFO] Remote update text loaded from: {run.net.url('primary', '/Upgrade/pkglink.txt')}",
        f"[INFO] Downloading package: {link}",
        "[INFO] Extracting package...",
        "[INFO] Updater.exe was not found. Current setup executable was copied as Updater.exe.",
        "[INFO] Key/Secret were saved to appsettings.json under FarmConfig.ApiKey and FarmConfig.ApiSecret.",
        "[INFO] Installation finished successfully."])
    check("Enter Key: " in console and "Enter Secret: " in console, f"prompts: {console!r}")
    check(not any("KEY-1" in line or "SECRET-1" in line for line in lines), "key or secret logged")
    expect_no_access_warnings(lines)

    check(run.read("C:\\Orvaner\\OrvaneCloudMonitorAgent.exe") == open(run.agent_exe, "rb").read(),
          "agent executable differs from the package's")
    check(run.read("C:\\Orvaner\\Updater.exe") == open(run.setup_exe, "rb").read(),
          "Updater.exe is not a copy of the setup executable")
    check(run.read("C:\\Orvaner\\lib\\helper.dll") == b"\x00helper-1", "nested package file")
    check(run.read("C:\\Orvaner\\appsettings.json") == expected_config("KEY-1", "SECRET-1"),
          "appsettings.json: " + repr(run.read("C:\\Orvaner\\appsettings.json")))
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "pkglink.txt bytes")
    check(not run.exists("C:\\Orvaner\\_update_temp"), "work folder left behind")

    service = run.service()
    check(service is not None, "service not registered")
    check(service["binary"] == '"C:\\Orvaner\\OrvaneCloudMonitorAgent.exe"', service["binary"])
    check(service["state"] == RUNNING and service["start"] == 2, f"service: {service}")


def scenario_blanks_around_values(run):
    publish_v1(run)
    # Answers are read as UTF-8, also beyond Latin-1.
    code, lines, _ = run.setup("  K\u00c9Y 1\u20ac\t \r\n\t SECRET 2  \r\n".encode())
    expect_exit(code, 0, lines)
    farm = config_of(run.read("C:\\Orvaner\\appsettings.json"))["FarmConfig"]
    check(farm["ApiKey"] == "K\u00c9Y 1\u20ac" and farm["ApiSecret"] == "SECRET 2",
          f"FarmConfig: {farm}")


def scenario_missing_credentials(run):
    publish_v1(run)
    for answers in (b"\nSECRET\n", b"KEY\n   \n", b""):
        code, lines, console = run.setup(answers)
        expect_exit(code, 2, lines)
        expect_lines(lines, LINK_LINES + ["[ERROR] Key and Secret are required."])
        check("Enter Key: " in console and "Enter Secret: " in console, f"prompts: {console!r}")
    check(run.downloads() == [], f"requests made: {run.downloads()}")
    check(not run.exists("C:\\Orvaner"), "installation folder created")


def scenario_no_usable_link(run):
    run.net.publish("primary", "/Upgrade/pkglink.txt", run.net.url("primary", "/Upgrade/agent.exe"))
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 3, lines)
    expect_lines(lines, LINK_LINES + ["[ERROR] Remote update text must contain a direct .zip link."])
    check(not run.exists("C:\\Orvaner") and run.service() is None, "something was installed")


def scenario_package_without_agent(run):
    link = run.publish_package("agent-1.0.zip", {"appsettings.json": "{}"}, agent=False)
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 4, lines)
    expect_lines(lines, LINK_LINES + [
        f"[INFO] Downloading package: {link}", "[INFO] Extracting package...",
        "[ERROR] Package validation failed: OrvaneCloudMonitorAgent.exe was not found in ZIP."])
    check(not run.exists("C:\\Orvaner\\appsettings.json"), "files were deployed")
    check(run.service() is None, "service registered")


def scenario_start_fails(run):
    # The agent of this package exits before it reports to the service manager.
    link = run.publish_package("agent-1.0.zip", {
        "appsettings.json": json.dumps(TEMPLATE), "agent-behaviour.txt": "exit-at-once\n"})
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 11, lines)
    check(any(line.startswith("[ERROR] Service start failed: ") for line in lines), "start error line")
    check(run.service() is not None and run.service()["state"] != RUNNING, "service state")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "link not recorded")

    # The service exists now: the next run takes the update flow and finds the link recorded.
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    expect_lines(lines, ["[INFO] Service found. Installation folder: C:\\Orvaner",
                         "[INFO] Already up to date. No action required."])
    check(run.service()["state"] != RUNNING, "the up-to-date run started the service")


def legacy_service(run, name, behaviour="normal"):
    """A running legacy service made from the stand-in agent in a folder of its own."""
    folder = f"C:\\Legacy\\{name}"
    os.makedirs(run.path(folder), exist_ok=True)
    shutil.copy(run.agent_exe, run.path(folder + "\\agent.exe"))
    run.svcctl("create", name, f'"{folder}\\agent.exe" {behaviour}')
    run.svcctl("start", name)


def scenario_legacy_services_removed(run):
    publish_v1(run)
    legacy_service(run, "CloudOrvaner")
    legacy_service(run, "CloudPellucor")
    os.makedirs(run.path("C:\\Orvaner\\old"), exist_ok=True)
    open(run.path("C:\\Orvaner\\old\\legacy.dll"), "wb").write(b"old")
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 0, lines)
    expect_lines(lines, LINK_LINES + [
        "[WARN] Legacy service found. Stopping and deleting: CloudOrvaner",
        "[INFO] Legacy service removed: CloudOrvaner",
        "[WARN] Legacy service found. Stopping and deleting: CloudPellucor",
        "[INFO] Legacy service removed: CloudPellucor",
        "[WARN] Legacy service was found. Deleting installation folder completely: C:\\Orvaner",
        "[INFO] Installation folder deleted: C:\\Orvaner",
        "[INFO] Installation finished successfully."])
    check(run.service("CloudOrvaner") is None and run.service("CloudPellucor") is None,
          "legacy services remain")
    check(not run.exists("C:\\Orvaner\\old"), "legacy folder content remains")
    check(run.service()["state"] == RUNNING, "agent not running")


def scenario_legacy_service_cannot_be_removed(run):
    publish_v1(run)
    legacy_service(run, "CloudOrvanerGuard", "refuse-stop")
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 20, lines)
    expect_lines(lines, LINK_LINES + [
        "[WARN] Legacy service found. Stopping and deleting: CloudOrvanerGuard",
        "[ERROR] Legacy cleanup failed. Installation stopped to avoid mixed old/new services."])
    check(any(line.startswith("[ERROR] Failed to stop/delete legacy service CloudOrvanerGuard: "
                              "ControlService stop failed. Error ") for line in lines), "reason line")
    check(run.downloads() == [], "something was downloaded")
    check(run.service() is None, "agent service registered")
    run.svcctl("kill", "CloudOrvanerGuard")


if __name__ == "__main__":
    main(globals())
