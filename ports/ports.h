// The dorvalix-ports program: its command line, the scan and the output.
#pragma once

#include <cstdio>

// Runs the program: lists the ports below `root` ("/", or a test's tree) on
// `out`, or writes the usage text. Returns the exit status: 0, also with no
// port; 1 after a bad option (the usage goes to `err`).
int PortsMain(int argc, const char* const argv[], const char* root, FILE* out, FILE* err);
