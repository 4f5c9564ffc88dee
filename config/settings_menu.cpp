// The interactive settings menu. (Placeholder until the menu is built.)
#include "config/settings_menu.h"

#include "app/errors.h"

void settings_menu() { end_process(0); }
