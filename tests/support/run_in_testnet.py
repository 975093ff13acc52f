"""Runs one Windows program under Wine inside the test network (see testnet.py): the three
update hosts serve empty document roots that the program fills itself through the folder
named by ORVANE_TEST_SITES. Ends with the program's exit code.

Usage: run_in_testnet.py --build-dir BUILD -- program.exe [arguments...]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from testnet import TestNet  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        parser.error("no program given")

    name = os.path.splitext(os.path.basename(program[0]))[0]
    with TestNet(args.build_dir, name=name) as net:
        sys.stdout.flush()
        run = net.wine(*program, capture=False, timeout=args.timeout)
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
