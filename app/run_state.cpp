// The one RunState of the process.
#include "app/run_state.h"

RunState g_run;
