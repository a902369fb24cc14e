// Whether a client UI or another launcher runs, by the executable names of the running processes.
#pragma once

bool is_launcher_running();
bool is_ui_running();
void kill_ui_processes();
