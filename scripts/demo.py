"""The main job, shown end to end: publish an agent package on local update hosts, install it
with Orvane.Setup.exe under Wine, publish a newer package and update with Updater.exe.
Everything happens in a network namespace and a temporary copy of the build's Wine prefix,
which are removed at the end, so the demo can be run again. Run by scripts/demo.sh."""
import argparse
import json
import os
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
from e2e import RUNNING, Run  # noqa: E402
from testnet import TestNet  # noqa: E402

TEMPLATE_V1 = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/v1"},
    "Logging": {"Level": "Information"},
}
TEMPLATE_V2 = {
    "FarmConfig": {"ApiKey": "", "ApiSecret": "", "Endpoint": "https://farm.example/v2"},
    "Features": {"Inventory": True},
    "Logging": {"Level": "Warning"},
    "Setup": {"ForceReplace": ["Logging.Level"]},
}


def heading(text):
    print(f"\n=== {text}", flush=True)


def show_file(run, windows_path):
    heading(windows_path)
    print(run.read(windows_path).decode("utf-8-sig"), end="", flush=True)


def show_service(run):
    service = run.service()
    state = "RUNNING" if service and service["state"] == RUNNING else str(service)
    print(f"service OrvaneCloudMonitorAgent: {state}, binary {service['binary']}", flush=True)


def run_and_show(run, title, answers, program=None):
    """Runs the setup program under a heading, shows its console and the service; its exit
    code."""
    heading(title)
    code, _, console = run.setup(answers, program=program)
    print(console, end="")
    print(f"exit code {code}")
    if code == 0:
        show_service(run)
        show_file(run, "C:\\Orvaner\\appsettings.json")
    return code


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()
    args.setup_exe = os.path.join(args.build_dir, "src", "driver", "Orvane.Setup.exe")

    with TestNet(args.build_dir, name="demo") as net:
        run = Run(net, args)
        earlier = len(run.log_lines())  # lines of runs made before the prefix was copied
        heading("Publishing agent 1.0 on the local update hosts")
        link = run.publish_package("agent-1.0.zip", {"appsettings.json": json.dumps(TEMPLATE_V1)})
        print(f"{net.url('primary', '/Upgrade/pkglink.txt')} -> {link}")

        code = run_and_show(run, "First run: wine Orvane.Setup.exe (key and secret typed on "
                            "standard input)", b"DEMO-KEY\nDEMO-SECRET\n")
        if code != 0:
            return code

        heading("Publishing agent 2.0: its template adds Features.Inventory and forces Logging.Level")
        link = run.publish_package("agent-2.0.zip",
                                   {"appsettings.template.json": json.dumps(TEMPLATE_V2)})
        print(f"{net.url('primary', '/Upgrade/pkglink.txt')} -> {link}")

        code = run_and_show(run, "Scheduled update: wine C:\\Orvaner\\Updater.exe", b"",
                            program=run.path("C:\\Orvaner\\Updater.exe"))
        if code != 0:
            return code
        show_file(run, "C:\\Orvaner\\pkglink.txt")
        heading("Orvane.Setup.log (in the prefix's temporary folder)")
        print("\n".join(run.log_lines()[earlier:]))
    print("\nDemo finished; its namespace and Wine prefix copy were removed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
