// The program's start here: the command line as the Windows entry would receive it, and the resources
// compiled into the executable as its module instance.
#include <string>

#include "launcher/entry.h"
#include "platform/command_line.h"
#include "platform/shell.h"
#include "resources/zantho_resources.h"

int main(int argc, char** argv) {
  std::u16string command_line = platform::command_line(argc, argv);
  return wWinMain(&zantho_resources, nullptr, command_line.data(), platform::SW_SHOWNORMAL);
}
