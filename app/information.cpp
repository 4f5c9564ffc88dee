// The usage text and the information block. (Placeholder until the front end is built.)
#include "app/information.h"

void show_usage() {}
void show_information() {}
