// The installation and update flows are not part of this build yet.
#include <stdexcept>

#include "driver/flows.h"

int RunInstallation(SetupLog&) { throw std::logic_error("First-time installation is not built yet."); }

int RunUpdate(SetupLog&) { throw std::logic_error("Update is not built yet."); }
