// The program: the whole life of the process, from the command line to
// the summary and the exit status.
#pragma once

// Runs kestrine with the process's command line. Returns the status the
// process ends with: 0 after a complete run (and --help or --version), 255
// after any failure, its message printed.
int run_kestrine(int argc, char** argv);
