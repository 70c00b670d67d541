// The command-line parser.
//
// Arguments after the program name are examined left to right; those that do
// not begin with "-" are skipped. An option matches its table entry exactly,
// or as an abbreviation: the same leading hyphens and a proper, unambiguous
// start of the entry (only -OVERRIDE and --help can be abbreviated). A value
// is the next argument, or follows "=" in the same argument (-d=40F5849A).
// Erroneous arguments are skipped without a message: an option that matches
// nothing, "=value" on an option without value, a missing value, and a next
// argument beginning with "-", which is then examined as an option itself.
// A help option stops the parse at once and the parse succeeds.
#pragma once

#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

// Fills params (first reset to its defaults) from argv[0..argc-1]. Invalid
// values of -d, -r, -t and the option -Y are reported at error level as they
// are met; the parse then goes on and finally fails. Returns 0 on success and
// 1 on failure. Null entries of argv and a negative argc are tolerated.
int ParseParameters(int argc, char* argv[], Parameters& params, UpdaterDisplayInterface& display);
