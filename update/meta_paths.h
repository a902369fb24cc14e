// Where the two metadata files live, relative to the program directory.
#pragma once

// "packages/quembra_client_win32_installed.json"; built on first use, the same text for the whole process.
const char* installed_json_path();
// "packages/quembra_client_win32_manifest.json"; built on first use, the same text for the whole process.
const char* manifest_json_path();
