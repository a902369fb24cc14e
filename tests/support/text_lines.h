// A captured text cut into its lines.
#pragma once

#include <string>
#include <vector>

// Each line without its end: "\n", or "\r\n" as the logger ends lines on Windows.
std::vector<std::string> text_lines(const std::string& text);
