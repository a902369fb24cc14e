// The launcher's user-interface resources, compiled in from resources/zantho.rc at build time.
#pragma once

#include "platform/ui.h"

extern const platform::ModuleResources zantho_resources;
