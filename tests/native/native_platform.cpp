// The platform functions that the portable sources refer to, for the native test build.
// CurrentExecutablePath is real (the ZIP tests find their archives beside the program); the
// others do Windows work that the native tests never reach, and stop the program if they are.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "log/setup_log.h"
#include "remote/http_client.h"
#include "util/encoding.h"
#include "util/file.h"

namespace {

[[noreturn]] void NotInNativeBuild(const char* name) {
  std::fprintf(stderr, "%s is Windows-only and not part of the native build\n", name);
  std::abort();
}

}  // namespace

std::wstring CurrentExecutablePath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::wstring();
  return FromUtf8(std::string(buffer, static_cast<size_t>(length)));
}

std::optional<std::vector<uint8_t>> HttpGet(const std::wstring&, std::wstring*) {
  NotInNativeBuild("HttpGet");
}

bool WriteTextFile(const std::wstring&, const std::wstring&) { NotInNativeBuild("WriteTextFile"); }

void SetupLog::Write(const std::wstring&, const std::wstring&) { NotInNativeBuild("SetupLog"); }
