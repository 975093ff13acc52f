#include "service/legacy_cleanup.h"
