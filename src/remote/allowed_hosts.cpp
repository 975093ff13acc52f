#include "remote/allowed_hosts.h"

#include "build_config.h"

const std::vector<std::wstring>& AllowedHosts() {
  static const std::vector<std::wstring> hosts = {ORVANE_PRIMARY_HOST, ORVANE_FALLBACK_HOST,
                                                  ORVANE_THIRD_HOST};
  return hosts;
}
