// The usage text and the information block.
#pragma once

// Prints the usage text unless silent; then ends the run with error 17 unless
// help_requested is set, in which case it returns.
void show_usage();

// Prints the information block: the settings in force and what is about to be sent.
void show_information();
