"""The exe writes its start line to the console and appends the same bytes to the log file
in the prefix's temporary folder."""
import argparse
import os
import re
import subprocess
import sys

LINE = re.compile(rb"\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[INFO\] Orvane\.Setup started\.")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--setup-exe", required=True)
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()

    temp = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", os.environ.get("USER", "root"), "Temp")
    log_path = os.path.join(temp, "Orvane.Setup.log")
    before = open(log_path, "rb").read() if os.path.exists(log_path) else b""

    run = subprocess.run(["wine", args.setup_exe, "ignored", "/arguments"], stdin=subprocess.DEVNULL,
                         capture_output=True, timeout=120)
    first = run.stdout.splitlines()[0] if run.stdout else b""
    assert LINE.fullmatch(first.rstrip(b"\r")), f"console start line: {run.stdout[:200]!r}"

    after = open(log_path, "rb").read()
    assert after.startswith(before), "the log file was not appended to"
    added = after[len(before):]
    assert not added.startswith(b"\xef\xbb\xbf") and b"\r" not in added, f"log bytes: {added[:200]!r}"
    assert added.split(b"\n")[0] == first.rstrip(b"\r"), f"log line differs: {added[:200]!r}"
    assert added.endswith(b"\n")
    print("start line on the console and appended to", log_path)


if __name__ == "__main__":
    sys.exit(main())
