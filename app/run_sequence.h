// The program's entry and the order of a run.
#pragma once

// Runs the program with its command line; returns only with status 0 after a delivery.
int run_program(int argc, char** argv);
