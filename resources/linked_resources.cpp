// The launcher's instance handle where zantho.rc is linked into the binary: the module that holds this object
// carries the dialog and the string tables itself, so the handle names no tables of ours.
#include "resources/zantho_resources.h"

const platform::ModuleResources zantho_resources{nullptr, 0, nullptr, 0};
