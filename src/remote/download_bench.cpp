// Prints the peak memory of DownloadToFile for bodies of 1, 10 and 100 MiB, to show that it
// stays flat whatever the package size; then, for scale, the peak with a 100 MiB buffer held
// in memory. Run by hand inside the test network:
//   /usr/bin/python3 tests/support/run_in_testnet.py --build-dir build --
//       build/src/remote/remote_download_bench.exe
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "remote/allowed_hosts.h"
#include "remote/http_client.h"
#include "testing/temp_dir.h"
#include "testing/test_site.h"

namespace {

double Mib(uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Peak working set and peak private bytes of this process so far.
PROCESS_MEMORY_COUNTERS Peaks() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters;
}

}  // namespace

int main() {
  if (TestSitesFolder().empty()) {
    std::fprintf(stderr, "run inside the test network: tests/support/run_in_testnet.py\n");
    return 2;
  }
  const std::wstring host = AllowedHosts()[0];
  TestFolder dir;
  const PROCESS_MEMORY_COUNTERS start = Peaks();
  std::printf("DownloadToFile peak memory (process peaks so far; smallest body first)\n");
  std::printf("start: peak working set %.1f MiB, peak private bytes %.1f MiB\n",
              Mib(start.PeakWorkingSetSize), Mib(start.PeakPagefileUsage));
  for (const uint64_t size : {uint64_t{1} << 20, uint64_t{10} << 20, uint64_t{100} << 20}) {
    const std::wstring path = L"/bench/" + std::to_wstring(size) + L".bin";
    PublishPatternOnHost(host, path, size);
    std::wstring reason;
    const auto begin = std::chrono::steady_clock::now();
    const bool ok = DownloadToFile(L"https://" + host + path, dir / L"package.zip", &reason);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    UnpublishOnHost(host, path);
    if (!ok) {
      std::fprintf(stderr, "download failed: %ls\n", reason.c_str());
      return 1;
    }
    const PROCESS_MEMORY_COUNTERS peaks = Peaks();
    std::printf(
        "%6.0f MiB body: %6.2f s (%6.1f MiB/s), peak working set %.1f MiB, "
        "peak private bytes %.1f MiB\n",
        Mib(size), seconds, Mib(size) / seconds, Mib(peaks.PeakWorkingSetSize),
        Mib(peaks.PeakPagefileUsage));
  }
  std::vector<char> whole(100u << 20, 'x');  // what holding a 100 MiB body costs
  volatile char touched = whole[whole.size() / 2];
  (void)touched;
  const PROCESS_MEMORY_COUNTERS held = Peaks();
  std::printf(
      "for scale, a 100 MiB body held in memory: peak working set %.1f MiB, "
      "peak private bytes %.1f MiB\n",
      Mib(held.PeakWorkingSetSize), Mib(held.PeakPagefileUsage));
  return 0;
}
