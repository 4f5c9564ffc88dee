// The settings file. (Placeholder until the settings file is built.)
#include "config/settings.h"

Settings g_settings;

void locate_settings_file() {}
int executable_ini_path(std::string*) { return -1; }
void load_settings() {}
void save_settings() {}
