// Whole-file reads and writes for the Windows test programs (harness and
// benchmark), through the platform's file API.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace winetest {

// Creates or replaces the file with exactly these bytes.
bool WriteBytes(const std::wstring &path, const std::string &bytes);
// Up to limit bytes from the start of the file; empty when it cannot be opened.
std::string ReadBytes(const std::wstring &path, size_t limit = SIZE_MAX);

}  // namespace winetest
