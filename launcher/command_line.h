// The command line: launch mode and the game id of a zantho:// launch URL.
#pragma once

#include <cstdint>

enum LaunchMode : int32_t {
  kLaunchDefault = 0,
  kLaunchBackground = 1,  // -b
  kLaunchWait = 2,        // -n
  kLaunchRemove = 3,      // /del
};

extern int32_t g_launch_mode;
extern uint32_t g_game_id;
extern int32_t g_arg_count;
extern char** g_arg_values;

// The command line after the program's own name.
void parse_command_line(const char16_t* command_line);
