// Text conversion between the host's locale encoding and wide text.
#pragma once

#include <string>

namespace ndisfilterctl {

// Characters the locale cannot encode become '?'.
std::string Narrow(const std::wstring &text);
// False when `text` is not valid in the locale's encoding.
bool Widen(const char *text, std::wstring &out);
// Invalid bytes are taken one per character.
std::wstring Widen(const std::string &text);

}  // namespace ndisfilterctl
