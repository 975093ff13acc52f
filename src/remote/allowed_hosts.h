// The hosts from which anything may be fetched, fixed when the program is built.
#pragma once

#include <string>
#include <vector>

// Primary update host, fallback update host, third accepted host, in this order.
const std::vector<std::wstring>& AllowedHosts();
