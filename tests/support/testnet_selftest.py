"""Checks the test network itself with curl (no Wine): names, addresses, certificates,
content changes and every fault line."""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testnet  # noqa: E402
from testnet import TestNet  # noqa: E402


def curl(net, url, *extra):
    """(exit code, status, body, remote address) of one GET with the test CA trusted."""
    run = subprocess.run(["curl", "-sS", "--cacert", os.path.join(net.pki, "ca.pem"), "-o", "-",
                          "-w", "\n%{http_code} %{remote_ip}", "-A", "selftest/1", *extra, url],
                         capture_output=True, timeout=30)
    body, _, tail = run.stdout.rpartition(b"\n")
    status, _, address = tail.decode().partition(" ")
    return run.returncode, int(status or 0), body, address


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args = parser.parse_args()

    with TestNet(args.build_dir, wine=False) as net:
        for role, address in zip(testnet.ROLES, testnet.ADDRESSES):
            net.publish(role, "/Upgrade/pkglink.txt", f"link of {role}\n")
            assert curl(net, net.url(role, "/Upgrade/pkglink.txt")) == (0, 200, f"link of {role}\n".encode(), address)

        net.publish("primary", "/Upgrade/pkglink.txt", b"newer")
        assert curl(net, net.url("primary", "/Upgrade/pkglink.txt"))[:3] == (0, 200, b"newer")
        assert curl(net, net.url("primary", "/missing.zip"))[:2] == (0, 404)
        assert curl(net, net.url("primary", "/Upgrade/pkglink.txt?x=1#y"))[:3] == (0, 200, b"newer")

        net.publish("primary", "/big.bin", bytes(range(256)) * 4096)
        cases = [
            ("status 500 broken", (0, 500, b"broken")),
            ("status 200", (0, 200, b"")),
            ("status 204", (0, 204, b"")),
            ("redirect 302 https://fallback.orvane.test/Upgrade/pkglink.txt", (0, 302, b"")),
            ("truncate 1000", (18, 200, (bytes(range(256)) * 4)[:1000])),
            ("chunked", (0, 200, bytes(range(256)) * 4096)),
            ("delay 0.2", (0, 200, bytes(range(256)) * 4096)),
        ]
        for line, expected in cases:
            net.fault("primary", "/big.bin", line)
            got = curl(net, net.url("primary", "/big.bin"))[:3]
            assert got == expected, (line, got[:2], len(got[2]))
        net.fault("primary", "/big.bin", "close")
        assert curl(net, net.url("primary", "/big.bin"))[0] in (52, 56)
        for line in ("hang", "endless 100000"):
            net.fault("primary", "/big.bin", line)
            started = time.monotonic()
            code, _, body, _ = curl(net, net.url("primary", "/big.bin"), "--max-time", "1")
            assert code == 28 and time.monotonic() - started < 5, (line, code)
            assert (len(body) > 0) == (line != "hang"), (line, len(body))
        net.clear_fault("primary", "/big.bin")
        net.fault("primary", "/big.bin", "slow 4000000")
        assert curl(net, net.url("primary", "/big.bin"))[2] == bytes(range(256)) * 4096

        for port in (testnet.UNTRUSTED_PORT, testnet.WRONG_NAME_PORT, testnet.EXPIRED_PORT):
            assert curl(net, net.url("primary", "/Upgrade/pkglink.txt", port))[0] == 60, port
        assert curl(net, net.url("primary", "/", testnet.CLOSED_PORT))[0] == 7

        net.stop("fallback")
        assert curl(net, net.url("fallback", "/Upgrade/pkglink.txt"))[0] == 7
        net.start("fallback")
        assert curl(net, net.url("fallback", "/Upgrade/pkglink.txt"))[:3] == (0, 200, b"link of fallback\n")

        seen = net.requests()
        assert seen[0]["host"] == "primary.orvane.test" and seen[0]["agent"] == "selftest/1", seen[0]
        assert any(r["path"] == "/Upgrade/pkglink.txt?x=1" for r in seen)
        print(f"testnet self-test: {len(seen)} requests served as expected")


if __name__ == "__main__":
    main()
