#include "devlib/aDefs.h"
const char* aDefs_GetModelName(uint32_t) { return "Unknown"; }
