#include "launcher/command_line.h"

#include <charconv>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

int32_t g_launch_mode = kLaunchDefault;
uint32_t g_game_id = 0;
int32_t g_arg_count = 0;
char** g_arg_values = nullptr;

namespace {

// Whitespace splits words as a standard input stream reads them; quotes do not group.
std::vector<std::string> split_words(const std::string& text) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(std::move(word));
  }
  return words;
}

// The copies live until the process ends; a later call (tests) replaces them.
void keep_arg_values(const std::vector<std::string>& words) {
  static std::vector<std::vector<char>> copies;
  static std::vector<char*> pointers;
  copies.clear();
  pointers.clear();
  for (const std::string& word : words) {
    copies.emplace_back(word.c_str(), word.c_str() + word.size() + 1);
    pointers.push_back(copies.back().data());
  }
  g_arg_count = static_cast<int32_t>(words.size());
  g_arg_values = pointers.empty() ? nullptr : pointers.data();
}

// The launch-URL pattern .*zantho://(.*)/([0-9]*)(.*)" read as POSIX does (leftmost, longest): the token ends
// with a double quote and holds "zantho://" with a "/" somewhere after it; the digits right after the last "/"
// are the game id. Matched by hand: the standard library's engine recurses once per character and overflows the
// stack on a token of some ten thousand characters.
std::string_view launch_url_digits(std::string_view word) {
  constexpr std::string_view kScheme = "zantho://";
  if (word.empty() || word.back() != '"') {
    return {};
  }
  const size_t scheme = word.find(kScheme);
  const size_t slash = word.rfind('/');
  if (scheme == std::string_view::npos || slash == std::string_view::npos || slash < scheme + kScheme.size()) {
    return {};
  }
  size_t end = slash + 1;
  while (end < word.size() && word[end] >= '0' && word[end] <= '9') {
    ++end;
  }
  return word.substr(slash + 1, end - slash - 1);
}

void apply_launch_url(std::string_view word) {
  const std::string_view digits = launch_url_digits(word);
  if (digits.empty()) {
    return;
  }
  int32_t game_id = 0;
  // A value beyond the signed 32-bit range leaves the game id as it was.
  if (std::from_chars(digits.data(), digits.data() + digits.size(), game_id).ec == std::errc()) {
    g_game_id = static_cast<uint32_t>(game_id);
  }
}

}  // namespace

void parse_command_line(const char16_t* command_line) {
  const std::vector<std::string> words = split_words(to_utf8(command_line));
  keep_arg_values(words);
  for (const std::string& word : words) {
    if (word == "-b") {
      g_launch_mode = kLaunchBackground;
    } else if (word == "-n") {
      g_launch_mode = kLaunchWait;
    } else if (word == "/del") {
      g_launch_mode = kLaunchRemove;
    } else {
      apply_launch_url(word);
    }
  }
}
