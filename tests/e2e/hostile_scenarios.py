"""Hostile and broken input, end to end: link files that never end, packages that redirect,
archives that are not ZIPs or claim more than they hold, configuration files that are not
JSON. Each gets its clear error, and the installation is left as it was or, at first
installation, in a state that the next run with a good package installs over."""
import io
import json
import random
import zipfile

from e2e import (BOM, RUNNING, check, config_of, expect_exit, expect_lines, main,
                 with_declared_size)

TEMPLATE = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/v1"},
    "Logging": {"Level": "Information"},
}
TEMPLATE_V2 = {
    "FarmConfig": {"ApiKey": "<key>", "ApiSecret": "<secret>", "Endpoint": "https://farm.example/v2"},
    "Logging": {"Level": "Warning"},
    "Setup": {"ForceReplace": ["FarmConfig.Endpoint"]},
}
START = ["[INFO] Orvane.Setup started."]
INSTALLING = START + ["[INFO] Service not found. Starting first-time installation."]
UPDATING = START + ["[INFO] Service found. Installation folder: C:\\Orvaner"]
GARBAGE = random.Random(8).randbytes(4096)
TOO_DEEP = b"[" * 1_000_000
FAST = 20_000_000  # bytes per second of an endless answer: 1 MiB in well under a second


def install_v1(run):
    link = run.publish_package("agent-1.0.zip", {"appsettings.json": json.dumps(TEMPLATE),
                                                  "agent-data.txt": "version 1\n"})
    code, lines, _ = run.setup(b"KEY-1\nSECRET-1\n")
    expect_exit(code, 0, lines)
    return link


def expect_nothing_installed(run):
    check(run.service() is None, "service registered")
    for name in ("OrvaneCloudMonitorAgent.exe", "appsettings.json", "pkglink.txt"):
        check(not run.exists("C:\\Orvaner\\" + name), name + " deployed")


def expect_v1_untouched(run, link, config):
    """The update changed nothing: service running, files, configuration and link as before."""
    check(run.service()["state"] == RUNNING, "service not running")
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 1\n", "files replaced")
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "link changed")
    check(run.read("C:\\Orvaner\\appsettings.json") == config, "appsettings.json changed")


def agent_zip(run, files):
    """A package's bytes: the stand-in agent and files (name -> bytes or text), deflated."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.write(run.agent_exe, "OrvaneCloudMonitorAgent.exe")
        for name, data in files.items():
            archive.writestr(name, data.encode() if isinstance(data, str) else data)
    return buffer.getvalue()


def scenario_endless_link_file(run):
    for host in ("primary", "fallback"):
        run.net.fault(host, "/Upgrade/pkglink.txt", f"endless {FAST}")
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 3, lines)
    expect_lines(lines, INSTALLING + [
        "[WARN] Primary URL failed or timed out. Trying fallback URL. Reason: Response body is "
        "too large.",
        "[ERROR] Fallback URL failed: Response body is too large."])
    check(not run.exists("C:\\Orvaner"), "installation folder created")
    check(run.service() is None, "service registered")


def scenario_package_redirects(run):
    # At installation the package's URL redirects to another allowed host: followed.
    target = run.net.url("third", "/mirror/agent-1.0.zip")
    path = run.package("agent-1.0.zip", {"appsettings.json": json.dumps(TEMPLATE),
                                         "agent-data.txt": "version 1\n"})
    run.net.publish_file("third", "/mirror/agent-1.0.zip", path)
    link = run.net.url("primary", "/Upgrade/agent-1.0.zip")
    run.net.publish("primary", "/Upgrade/pkglink.txt", link + "\n")
    run.net.fault("primary", "/Upgrade/agent-1.0.zip", "redirect 302 " + target)
    code, lines, _ = run.setup(b"KEY-1\nSECRET-1\n")
    expect_exit(code, 0, lines)
    check(not any("fallback" in line.lower() for line in lines), "fallback used")
    check("third.orvane.test /mirror/agent-1.0.zip" in run.downloads(), "redirect not followed")
    check(run.service()["state"] == RUNNING, "service not running")
    config = run.read("C:\\Orvaner\\appsettings.json")

    # At update the primary redirects off the allowed hosts, the fallback to plain http:
    # neither is followed and the update stops before the service is touched.
    new_link = run.publish_package("agent-2.0.zip", {"appsettings.json": json.dumps(TEMPLATE_V2),
                                                     "agent-data.txt": "version 2\n"})
    run.net.publish_file("fallback", "/Upgrade/agent-2.0.zip", run.packages + "/agent-2.0.zip")
    run.net.fault("primary", "/Upgrade/agent-2.0.zip",
                  "redirect 301 https://downloads.elsewhere.test/agent-2.0.zip")
    run.net.fault("fallback", "/Upgrade/agent-2.0.zip",
                  "redirect 307 " + run.net.url("fallback", "/Upgrade/agent-2.0.zip")
                  .replace("https:", "http:"))
    code, lines, _ = run.setup(b"")
    expect_exit(code, 4, lines)
    expect_lines(lines, UPDATING + [
        f"[INFO] Downloading package: {new_link}",
        "[WARN] Primary download failed or timed out. Trying fallback URL. Reason: Redirect to a "
        "URL that is not allowed: Host is not in the allowed list: downloads.elsewhere.test",
        "[ERROR] Fallback download failed: Redirect to a URL that is not allowed: Only HTTPS URLs "
        "are allowed.",
        "[ERROR] Download failed from primary and fallback URLs."])
    expect_v1_untouched(run, link, config)


def scenario_hostile_packages_at_installation(run):
    good = {"appsettings.json": json.dumps(TEMPLATE), "agent-data.txt": "version 1\n"}
    bomb = with_declared_size(agent_zip(run, dict(good, **{"zeros.bin": bytes(30 << 20)})),
                              "zeros.bin", 1000)
    beyond_disk = with_declared_size(agent_zip(run, dict(good, **{"big.bin": bytes(1000)})),
                                     "big.bin", 1 << 50)
    cases = [
        ("not-a-zip.zip", b"<html>this is not a ZIP archive</html>\n" * 50,
         "Shell cannot open ZIP archive."),
        ("bomb.zip", bomb,
         'ZIP entry "zeros.bin" is corrupt: it holds more data than its declared size.'),
        ("beyond-disk.zip", beyond_disk,
         "Not enough disk space to extract the package. Needed: "),
    ]
    for name, data, reason in cases:
        run.publish_crafted(name, data)
        code, lines, _ = run.setup(b"KEY\nSECRET\n")
        expect_exit(code, 4, lines)
        expect_lines(lines, INSTALLING + ["[INFO] Extracting package..."])
        errors = [line for line in lines if line.startswith("[ERROR] ")]
        check(errors and errors[0].startswith("[ERROR] Extraction failed: " + reason),
              f"{name}: {errors}")
        expect_nothing_installed(run)
        extracted = "C:\\Orvaner\\_update_temp\\extracted\\"
        check(not run.exists(extracted + "zeros.bin") and not run.exists(extracted + "big.bin"),
              f"{name}: the refused entry was left behind")

    # A package whose configuration template is garbage: the files are deployed, then the
    # configuration fails (code 6); no service, no link, so the next run installs again.
    run.publish_crafted("garbage-config.zip", agent_zip(run, dict(good, **{"appsettings.json": GARBAGE})))
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 6, lines)
    check(any(line.startswith("[ERROR] Cannot parse package appsettings config: ") for line in lines),
          "configuration error line")
    check(run.service() is None and not run.exists("C:\\Orvaner\\pkglink.txt"), "half installed")

    link = run.publish_crafted("agent-1.0.zip", agent_zip(run, good))
    code, lines, _ = run.setup(b"KEY\nSECRET\n")
    expect_exit(code, 0, lines)
    check(run.read("C:\\Orvaner\\pkglink.txt") == BOM + link.encode() + b"\n", "link")
    check(config_of(run.read("C:\\Orvaner\\appsettings.json"))["FarmConfig"]["ApiKey"] == "KEY",
          "configuration")
    check(run.service()["state"] == RUNNING, "service not running")


def scenario_broken_configuration_at_update(run):
    link = install_v1(run)
    good_config = run.read("C:\\Orvaner\\appsettings.json")
    v2 = {"appsettings.json": json.dumps(TEMPLATE_V2), "agent-data.txt": "version 2\n"}
    new_link = run.publish_package("agent-2.0.zip", v2)

    # A broken installed appsettings.json: the update stops before the service is stopped.
    cases = [
        (b'{"FarmConfig": ', "Unexpected end of JSON."),
        (GARBAGE, ""),
        (BOM + TOO_DEEP, "JSON nesting is too deep."),
    ]
    for data, message in cases:
        open(run.path("C:\\Orvaner\\appsettings.json"), "wb").write(data)
        code, lines, _ = run.setup(b"")
        expect_exit(code, 7, lines)
        expect_lines(lines, UPDATING + ["[INFO] New package detected. Starting update.",
                                        "[INFO] Extracting package...",
                                        "[INFO] Config force replace path loaded from package "
                                        "appsettings.json: FarmConfig.Endpoint"])
        check(lines[-1].startswith("[ERROR] Cannot parse current appsettings.json: " + message),
              f"last line: {lines[-1]!r}")
        expect_v1_untouched(run, link, data)

    # A package whose template is garbage: the same, for the template.
    open(run.path("C:\\Orvaner\\appsettings.json"), "wb").write(good_config)
    run.publish_crafted("agent-3.0.zip", agent_zip(run, dict(v2, **{"appsettings.json": GARBAGE})))
    code, lines, _ = run.setup(b"")
    expect_exit(code, 7, lines)
    check(lines[-1].startswith("[ERROR] Cannot parse new config template: "), lines[-1])
    expect_v1_untouched(run, link, good_config)

    # Mended, the update goes through.
    run.net.publish("primary", "/Upgrade/pkglink.txt", new_link + "\n")
    code, lines, _ = run.setup(b"")
    expect_exit(code, 0, lines)
    check(run.read("C:\\Orvaner\\agent-data.txt") == b"version 2\n", "not updated")
    config = config_of(run.read("C:\\Orvaner\\appsettings.json"))
    check(config["FarmConfig"] == {"ApiKey": "KEY-1", "ApiSecret": "SECRET-1",
                                   "Endpoint": "https://farm.example/v2"}, f"{config}")
    check(run.service()["state"] == RUNNING, "service not running")


if __name__ == "__main__":
    main(globals())
