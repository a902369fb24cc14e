// Starting the client UI program from the program directory.
#pragma once

// 0 when the client UI was started, 1 when not; prints "ret : <r>".
int launch_ui();
