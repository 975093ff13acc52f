// The running process's id.
#pragma once

#include <cstdint>

// GetCurrentProcessId.
uint32_t CurrentProcessId();
