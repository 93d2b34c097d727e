// The files `report` reads and writes for the operator, in this build's
// terms (report_file_windows.cpp, report_file_host.cpp): paths the operator
// typed, not the simulated machine's.
#pragma once

#include <optional>
#include <string>

#include "tools/common/setupapi_log.h"

namespace ndisfilterctl {

// The last `maxBytes` of a file, read while others may write it; nullopt
// with the reason ("error 2") when it cannot be read.
std::optional<ndisfilter::tools::FileBytes> ReadOperatorFileEnd(const std::wstring &path,
                                                                 size_t maxBytes,
                                                                 std::wstring &error);

// Why `path` cannot be created as a new file (it exists, its folder does
// not); empty when it can.
std::wstring WhyNotNewFile(const std::wstring &path);

// Creates `path` holding `bytes`: written to a temporary file in the same
// folder, then moved to `path` without replacing anything. On failure
// nothing is left behind and `error` says why.
bool CreateNewFile(const std::wstring &path, const std::string &bytes, std::wstring &error);

}  // namespace ndisfilterctl
