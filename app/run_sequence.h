// The program's entry and the order of a run.
#pragma once

// Runs the program with its command line. Never returns: the process ends with status 0
// after a delivery, -? or the settings menu, and with the error code otherwise.
[[noreturn]] int run_program(int argc, char** argv);
