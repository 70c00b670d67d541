// The program's entry point: parses the command line, settles the updater
// directory, constructs one Updater and runs the requested commands in a
// fixed order (fingerprint, get, then the first of discover, update, list
// builds, list local builds and feature token).
#pragma once

// Runs one command line and returns the exit status: 0 for success, 1 for
// failure. Everything it creates is released before it returns.
int UpdaterMain(int argc, char* argv[]);
