// The command line of a windowed program, read by the program entry before the
// framework starts and before any window exists, so --help and --version
// answer on stdout without a display. Each windowed program defines it.
#pragma once

// Returns -1 to go on and start the window, else the exit code to end with
// (after printing help, the version, or a usage error).
int ReadWindowCommandLine(int argc, char** argv);
