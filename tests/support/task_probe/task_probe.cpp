// Appends one line per run to "<its own path>.marker": the arguments it was given, separated by tabs.
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
  if (argc < 1) {
    return 2;
  }
  std::filesystem::path marker = std::filesystem::path(argv[0]).concat(".marker");
  std::ofstream out(marker, std::ios::app | std::ios::binary);
  for (int i = 1; i < argc; ++i) {
    out << (i > 1 ? "\t" : "") << argv[i];
  }
  out << '\n';
  return out ? 0 : 1;
}
