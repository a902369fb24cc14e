#include "common/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "tests/support/deep_json.h"
#include "tests/support/scratch_dir.h"

namespace {

std::string accepted_text(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

TEST(CompactJsonTest, WritesWhatAcceptWrites) {
  const char* documents[] = {
      "{}", "[]", "null", "true", "\"s\"", "0", "-1", "4294967295", "-9223372036854775808", "18446744073709551615",
      "1.5e300", "-0.0", R"({"a":[1,{"b":[]},[[]],{}],"c":"\u0000\u001f\"\\/\u00e9","d":{"e":{"f":false}}})",
      R"([{"k":1,"k":2},null,[true,[false,[0.25]]]])"};
  for (const char* text : documents) {
    rapidjson::Document document;
    parse_json_text(text, document);
    ASSERT_FALSE(document.HasParseError()) << text;
    std::string written;
    ASSERT_TRUE(write_compact_json(document, written)) << text;
    EXPECT_EQ(written, accepted_text(document)) << text;
  }
}

TEST(CompactJsonTest, ANonFiniteNumberIsRefused) {
  rapidjson::Document document;
  parse_json_text("[1,2]", document);
  document[1].SetDouble(std::numeric_limits<double>::infinity());
  std::string written;
  EXPECT_FALSE(write_compact_json(document, written));
}

// Deep enough to overflow the stack of a recursive parse or Accept: each case must come back whole.
TEST(DeepJsonTest, ParsesAndWritesBackWithoutRecursion) {
  ScratchDir scratch;
  scratch.enter();
  for (const std::string& text : {nested_arrays(kDeepArrays), nested_objects(kDeepObjects)}) {
    rapidjson::Document from_text;
    parse_json_text(text.c_str(), from_text);
    ASSERT_FALSE(from_text.HasParseError());
    std::string written;
    ASSERT_TRUE(write_compact_json(from_text, written));
    EXPECT_TRUE(written == text);

    std::FILE* file = std::fopen("deep.json", "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    file = std::fopen("deep.json", "rb");
    ASSERT_NE(file, nullptr);
    rapidjson::Document from_file;
    parse_json_file(file, from_file);
    std::fclose(file);
    ASSERT_FALSE(from_file.HasParseError());
    EXPECT_TRUE(write_compact_json(from_file, written) && written == text);
  }
}

TEST(DeepJsonTest, AnUnclosedDeepDocumentIsAParseError) {
  const std::string text = nested_arrays(kDeepArrays);
  rapidjson::Document document;
  parse_json_text(text.substr(0, text.size() - 1).c_str(), document);
  EXPECT_TRUE(document.HasParseError());
}

}  // namespace
