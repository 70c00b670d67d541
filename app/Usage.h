// The usage text, written to standard error (error level) in up to four
// blocks: the short usage, the parameters and commands, the extended
// parameters and commands, and sample command lines.
#pragma once

#include "app/UpdaterDisplayInterface.h"

// Writes the short usage; with full also the parameters, commands and
// samples, and with full and extended the extended block between them.
void _display_usage(UpdaterDisplayInterface& display, bool full, bool extended);
