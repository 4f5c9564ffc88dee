// VORNA: a console mail sender. One start sends one message, or opens the settings menu.
#include "app/run_sequence.h"

int main(int argc, char** argv) { return run_program(argc, argv); }
