// The publisher: turns a complete installation image into the tree that the CDN and the index API serve.
// A test and demo tool; the launcher never links it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <rapidjson/document.h>

// One package zip and the image paths it carries ("/" separated; a directory carries everything beneath it;
// "*" carries every file that no other package claims).
struct PackageLayout {
  std::string file;
  std::vector<std::string> paths;
};

struct PublishOptions {
  std::filesystem::path image;
  std::filesystem::path out;
  std::vector<PackageLayout> packages;  // empty: one "client.zip" with everything
  std::string cdndomain;                // empty: the index reply carries no "cdndomain"
};

struct PublishResult {
  std::string metains;  // checksum of the installed-file list
  std::string metaman;  // checksum of the package manifest
};

inline constexpr const char* kInstalledJsonName = "quembra_client_win32_installed.json";
inline constexpr const char* kManifestJsonName = "quembra_client_win32_manifest.json";

// Writes into options.out: every package zip, "<installed list>.<metains>", "<manifest>.<metaman>" and
// "api/clients.json". 0 done; 1 unusable input (message on stderr); 2 a file could not be written.
int publish_tree(const PublishOptions& options, PublishResult* result);

// The compact text the launcher hashes (RapidJSON Writer, default flags).
std::string to_compact_json(const rapidjson::Value& value);

// Gives the document's first "checksum" member (appended when there is none) the MD5 of the document as the
// launcher hashes it: without that member, whose place the last member takes. Returns the 32 hex digits.
std::string seal_metadata(rapidjson::Document& document);

// MD5 of a file as 32 lower-case hex digits; empty when it cannot be read.
std::string md5_hex_of_file(const std::filesystem::path& path);
