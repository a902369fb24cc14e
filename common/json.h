// JSON as the launcher reads and re-serialises it: parsing and writing that never recurse, so that a deeply
// nested document from a server or a damaged file cannot exhaust the calling thread's stack.
#pragma once

#include <cstdio>
#include <string>

#include <rapidjson/document.h>

// Parses the rest of an open file into document; the result of a text that does not parse is a parse error.
void parse_json_file(std::FILE* file, rapidjson::Document& document);

// Parses a NUL-terminated text into document.
void parse_json_text(const char* text, rapidjson::Document& document);

// The compact text of value, as Value::Accept with a rapidjson::Writer gives it; false, with text
// unspecified, when the writer refuses a value (a non-finite number).
bool write_compact_json(const rapidjson::Value& value, std::string& text);
