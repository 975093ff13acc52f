// The smallest Windows console program, built like Orvane.Setup.exe (static, same toolchain):
// the baseline for the start-up cost of a program under warm Wine in scripts/bench.sh.
#include <cstdio>

int main() {
  std::puts("trivial program started.");
  return 0;
}
