#!/usr/bin/env python3
"""Builds a package of about 200 MB in about 2,000 files (half compressible text, half random
bytes), zips it with Info-ZIP zip, then extracts it RUNS times each with Info-ZIP unzip and
with ExtractZip under Wine, alternating, and prints the medians. Called by extract_bench.sh."""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import time

parser = argparse.ArgumentParser()
parser.add_argument("--bench-exe", required=True)
parser.add_argument("--work", required=True)
parser.add_argument("--runs", type=int, default=3)
args = parser.parse_args()

work = os.path.abspath(args.work)
package = os.path.join(work, "package")
archive = os.path.join(work, "package.zip")
FILES, TOTAL = 2000, 200 * 1000 * 1000


def make_package():
    """Sizes spread from a few KB to about 1 MB around a mean of TOTAL / FILES."""
    rng = random.Random(2024)
    shutil.rmtree(package, ignore_errors=True)
    words = [b"agent", b"monitor", b"service", b"config", b"metric", b"value", b"update", b"\n"]
    text = b" ".join(rng.choice(words) + b"%d" % rng.randrange(1000) for _ in range(400_000))
    mean = TOTAL // FILES
    total = 0
    for i in range(FILES):
        size = min(int(rng.expovariate(1 / mean)) + 1024, 12 * mean)
        folder = os.path.join(package, "Agent-9.9.9", "mod%02d" % (i % 40), "sub%d" % (i % 3))
        os.makedirs(folder, exist_ok=True)
        if i % 2:
            data = os.urandom(size)
        else:
            start = rng.randrange(len(text) - size) if size < len(text) else 0
            data = (text[start:] + text)[:size]
        with open(os.path.join(folder, "file%04d.%s" % (i, "bin" if i % 2 else "txt")), "wb") as f:
            f.write(data)
        total += len(data)
    return total


def timed(command, **kwargs):
    start = time.perf_counter()
    result = subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)
    return time.perf_counter() - start, result.stdout


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    os.makedirs(work, exist_ok=True)
    total = make_package()
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["zip", "-q", "-r", archive, "."], cwd=package, check=True)
    files = sum(len(f) for _, _, f in os.walk(package))
    print("package: %d files, %.1f MB; archive %.1f MB (Info-ZIP zip, deflate)"
          % (files, total / 1e6, os.path.getsize(archive) / 1e6))

    unzip_times, extract_times, decode_times, peaks = [], [], [], []
    for run in range(args.runs):
        out = os.path.join(work, "out-unzip")
        shutil.rmtree(out, ignore_errors=True)
        seconds, _ = timed(["unzip", "-q", "-o", archive, "-d", out])
        unzip_times.append(seconds)

        out = os.path.join(work, "out-extractzip")
        shutil.rmtree(out, ignore_errors=True)
        _, stdout = timed(["wine", args.bench_exe, wine_path(archive), wine_path(out)])
        figures = dict(line.split() for line in stdout.splitlines() if line.strip())
        extract_times.append(float(figures["seconds"]))
        decode_times.append(float(figures["decode_seconds"]))
        peaks.append(int(figures["peak_working_set_bytes"]))
        print("run %d: unzip %.2f s; ExtractZip %.2f s; reading and inflating only %.2f s"
              % (run + 1, unzip_times[-1], extract_times[-1], decode_times[-1]))

    # Both extractions produced the same tree.
    diff = subprocess.run(["diff", "-rq", os.path.join(work, "out-unzip"),
                           os.path.join(work, "out-extractzip")], capture_output=True, text=True)
    print("outputs identical:", "yes" if diff.returncode == 0 else "NO\n" + diff.stdout[:2000])

    mb = total / 1e6
    for label, times in [("Info-ZIP unzip", unzip_times),
                         ("ExtractZip (in process)", extract_times),
                         ("ExtractZip without writing files", decode_times)]:
        median = statistics.median(times)
        print("%-34s median %.2f s  %.1f MB/s" % (label, median, mb / median))
    print("ExtractZip peak working set: %.1f MB" % (max(peaks) / 1e6))
    shutil.rmtree(os.path.join(work, "out-unzip"), ignore_errors=True)
    shutil.rmtree(os.path.join(work, "out-extractzip"), ignore_errors=True)


main()
