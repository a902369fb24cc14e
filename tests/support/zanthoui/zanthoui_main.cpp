// Stand-in of the client UI: appends one line "<cwd>|<arg>|<arg>..." to zanthoui.calls in its working
// directory, then stays alive for ZANTHO_UI_LINGER_MS milliseconds (default 0) so tests can see it running.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  {
    std::ofstream calls("zanthoui.calls", std::ios::app);
    calls << std::filesystem::current_path().string();
    for (int i = 1; i < argc; ++i) {
      calls << '|' << argv[i];
    }
    calls << '\n';
  }
  if (const char* linger = std::getenv("ZANTHO_UI_LINGER_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(linger)));
  }
  return 0;
}
