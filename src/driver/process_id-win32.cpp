#include <windows.h>

#include "driver/process_id.h"

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
