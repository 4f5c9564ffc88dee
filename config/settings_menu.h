// The interactive settings menu, opened by a start without arguments.
#pragma once

// Shows the menu; ends the process with status 0 (after saving, or without saving).
[[noreturn]] void settings_menu();
