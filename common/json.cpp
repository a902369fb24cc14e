#include "common/json.h"

#include <vector>

#include <rapidjson/filereadstream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

// The iterative parser accepts exactly the documents the recursive one does, with the same values.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

using CompactWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Value::Accept's choice of handler call for a value that is neither an object nor an array.
bool write_scalar(const rapidjson::Value& value, CompactWriter& writer) {
  switch (value.GetType()) {
    case rapidjson::kNullType:
      return writer.Null();
    case rapidjson::kFalseType:
      return writer.Bool(false);
    case rapidjson::kTrueType:
      return writer.Bool(true);
    case rapidjson::kStringType:
      return writer.String(value.GetString(), value.GetStringLength());
    default:
      if (value.IsDouble()) return writer.Double(value.GetDouble());
      if (value.IsInt()) return writer.Int(value.GetInt());
      if (value.IsUint()) return writer.Uint(value.GetUint());
      if (value.IsInt64()) return writer.Int64(value.GetInt64());
      return writer.Uint64(value.GetUint64());
  }
}

// An object or array being written and the index of its next member or element.
struct OpenContainer {
  const rapidjson::Value* container;
  rapidjson::SizeType next;
};

}  // namespace

void parse_json_file(std::FILE* file, rapidjson::Document& document) {
  char buffer[1024];
  rapidjson::FileReadStream stream(file, buffer, sizeof buffer);
  document.ParseStream<kParseFlags>(stream);
}

void parse_json_text(const char* text, rapidjson::Document& document) { document.Parse<kParseFlags>(text); }

bool write_compact_json(const rapidjson::Value& value, std::string& text) {
  rapidjson::StringBuffer buffer;
  CompactWriter writer(buffer);
  std::vector<OpenContainer> open;
  const rapidjson::Value* next = &value;
  for (;;) {
    if (next != nullptr) {
      if (next->IsObject()) {
        writer.StartObject();
        open.push_back({next, 0});
      } else if (next->IsArray()) {
        writer.StartArray();
        open.push_back({next, 0});
      } else if (!write_scalar(*next, writer)) {
        return false;
      }
      next = nullptr;
    }
    if (open.empty()) {
      break;
    }
    OpenContainer& top = open.back();
    if (top.container->IsObject()) {
      if (top.next == top.container->MemberCount()) {
        writer.EndObject(top.next);
        open.pop_back();
        continue;
      }
      const rapidjson::Value::Member& member = top.container->MemberBegin()[top.next++];
      writer.Key(member.name.GetString(), member.name.GetStringLength());
      next = &member.value;
    } else {
      if (top.next == top.container->Size()) {
        writer.EndArray(top.next);
        open.pop_back();
        continue;
      }
      next = &(*top.container)[top.next++];
    }
  }
  text.assign(buffer.GetString(), buffer.GetSize());
  return true;
}
