// Stand-in of the client runtime: each call of its entry appends a line to quillon.calls in the working directory.
#include <fstream>

extern "C" int QuillonEntry() {
  std::ofstream calls("quillon.calls", std::ios::app);
  calls << "QuillonEntry\n";
  return 0;
}
