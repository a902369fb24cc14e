#include "launcher/launch_ui.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "launcher/command_line.h"
#include "launcher/current_directory.h"
#include "platform/shell.h"

namespace {

std::u16string game_id_argument(uint32_t game_id) {
  std::u16string digits;
  for (std::string text = std::to_string(game_id); char c : text) {
    digits += static_cast<char16_t>(c);
  }
  return u"-gameid=" + digits;
}

}  // namespace

int launch_ui() {
  std::u16string file = current_directory_wide() + u"\\zanthoui.exe";
  std::u16string parameters = g_game_id != 0 ? game_id_argument(g_game_id) : std::u16string();
  intptr_t value =
      platform::shell_execute(nullptr, u"open", file.c_str(), parameters.c_str(), nullptr, platform::SW_SHOWNORMAL);
  int r = static_cast<uintptr_t>(value) > 32 ? 0 : 1;
  std::printf("ret : %d\n", r);
  return r;
}
