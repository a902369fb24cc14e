#include "launcher/command_line.h"

#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/command_line.h"

namespace {

constexpr uint32_t kEarlierGameId = 77;

std::u16string ascii16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::vector<std::string> arg_values() { return std::vector<std::string>(g_arg_values, g_arg_values + g_arg_count); }

void parse_fresh(const std::u16string& line, uint32_t game_id = 0) {
  g_launch_mode = kLaunchDefault;
  g_game_id = game_id;
  parse_command_line(line.c_str());
}

struct CommandLineCase {
  const char16_t* line;
  uint32_t game_id_before;
  int32_t mode;
  uint32_t game_id;
  std::vector<std::string> tokens;
};

TEST(ParseCommandLineTest, SwitchesAndLaunchUrls) {
  const std::vector<CommandLineCase> cases = {
      {u"", 0, 0, 0, {}},
      {u" \t\r\n\v\f", 0, 0, 0, {}},
      {u"-b", 0, 1, 0, {"-b"}},
      {u"-b -n", 0, 2, 0, {"-b", "-n"}},
      {u"-n /del -b", 0, 1, 0, {"-n", "/del", "-b"}},
      {u"\t-n\r\n/del  ", 0, 3, 0, {"-n", "/del"}},
      {u"-B /DEL -nb --b", 0, 0, 0, {"-B", "/DEL", "-nb", "--b"}},
      {u"\"zantho://x/42\"", 0, 0, 42, {"\"zantho://x/42\""}},
      {u"\"zantho://x/42", 0, 0, 0, {"\"zantho://x/42"}},
      {u"zantho://x/42", 0, 0, 0, {"zantho://x/42"}},
      {u"\"zantho://x/42/\"", kEarlierGameId, 0, kEarlierGameId, {"\"zantho://x/42/\""}},
      {u"\"zantho://x/42abc\"", 0, 0, 42, {"\"zantho://x/42abc\""}},
      {u"\"zantho://x/007\"", 0, 0, 7, {"\"zantho://x/007\""}},
      {u"\"zantho://x/0\"", kEarlierGameId, 0, 0, {"\"zantho://x/0\""}},
      {u"\"zantho://x/1\" \"zantho://x/2\"", 0, 0, 2, {"\"zantho://x/1\"", "\"zantho://x/2\""}},
      {u"\"zantho://x/1\" \"zantho://y/\"", 0, 0, 1, {"\"zantho://x/1\"", "\"zantho://y/\""}},
      {u"-b \"zantho://x/42\"", 0, 1, 42, {"-b", "\"zantho://x/42\""}},
      {u"\"zantho://x/42\" -n", 0, 2, 42, {"\"zantho://x/42\"", "-n"}},
      {u"\"zantho://a b/42\"", 0, 0, 0, {"\"zantho://a", "b/42\""}},
      {u"open=zantho://h/x/9/3\"", 0, 0, 3, {"open=zantho://h/x/9/3\""}},
      {u"\"zantho:///5\"", 0, 0, 5, {"\"zantho:///5\""}},
      {u"\"zantho://5\"", kEarlierGameId, 0, kEarlierGameId, {"\"zantho://5\""}},
      {u"\"Zantho://x/4\"", 0, 0, 0, {"\"Zantho://x/4\""}},
      {u"\"zantho://x/2147483647\"", 0, 0, 2147483647u, {"\"zantho://x/2147483647\""}},
      {u"\"zantho://x/2147483648\"", kEarlierGameId, 0, kEarlierGameId, {"\"zantho://x/2147483648\""}},
      {u"\"zantho://x/99999999999999999999\"", kEarlierGameId, 0, kEarlierGameId,
       {"\"zantho://x/99999999999999999999\""}},
      {u"-b \u00e9\U0001F3AE", 0, 1, 0, {"-b", "\u00e9\U0001F3AE"}},
      {u"-b \xD800 -n", 0, 0, 0, {}},
      {u"\xDC00-b", 0, 0, 0, {}},
  };
  for (const CommandLineCase& c : cases) {
    const std::u16string line = c.line;
    SCOPED_TRACE(std::string(line.begin(), line.end()));
    parse_fresh(line, c.game_id_before);
    EXPECT_EQ(g_launch_mode, c.mode);
    EXPECT_EQ(g_game_id, c.game_id);
    EXPECT_EQ(arg_values(), c.tokens);
  }
}

TEST(ParseCommandLineTest, NullCommandLineGivesNoToken) {
  g_launch_mode = kLaunchDefault;
  parse_command_line(nullptr);
  EXPECT_EQ(g_arg_count, 0);
  EXPECT_EQ(g_launch_mode, 0);
}

// Tokens of every shape the pattern cares about, held against the standard library's reading of it.
TEST(ParseCommandLineTest, GameIdAgreesWithThePosixPattern) {
  const std::regex pattern(".*zantho://(.*)/([0-9]*)(.*)\"", std::regex::extended);
  const std::vector<std::string> pieces = {"zantho://", "zantho:/", "/", "\"", "4", "07", "x", ":", "zantho"};
  std::mt19937 random(20240601);
  for (int round = 0; round < 5000; ++round) {
    std::string token;
    for (int n = std::uniform_int_distribution<int>(1, 7)(random); n > 0; --n) {
      token += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
    }
    std::smatch match;
    uint32_t expected = kEarlierGameId;
    if (std::regex_match(token, match, pattern) && match[2].length() > 0) {
      expected = static_cast<uint32_t>(std::stoi(match[2].str()));
    }
    parse_fresh(ascii16(token), kEarlierGameId);
    ASSERT_EQ(g_game_id, expected) << token;
  }
}

TEST(ParseCommandLineTest, VeryLongLaunchUrlIsRead) {
  const std::string token = "\"zantho://" + std::string(200000, 'h') + "/42\"";
  parse_fresh(ascii16(token + " -b"));
  EXPECT_EQ(g_game_id, 42u);
  EXPECT_EQ(g_launch_mode, 1);
}

// The entry gets its arguments back as one line: a URL keeps the double quotes it arrived with, or no game id.
TEST(ParseCommandLineTest, ArgumentsJoinedBackMatchOnlyWithTheirQuotes) {
  struct Case {
    std::vector<const char*> argv;
    int32_t mode;
    uint32_t game_id;
  };
  const std::vector<Case> cases = {
      {{"zantho.exe"}, 0, 0},
      {{"zantho.exe", "\"zantho://host/42\""}, 0, 42},
      {{"zantho.exe", "zantho://host/42"}, 0, 0},
      {{"zantho.exe", "-b", "\"zantho://host/42\""}, 1, 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    parse_fresh(platform::command_line(static_cast<int>(c.argv.size()), c.argv.data()));
    EXPECT_EQ(g_launch_mode, c.mode);
    EXPECT_EQ(g_game_id, c.game_id);
    EXPECT_EQ(g_arg_count, static_cast<int32_t>(c.argv.size()) - 1);
  }
}

}  // namespace
