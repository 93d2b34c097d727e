// Text the simulation needs: GUIDs in registry form, and the case folding
// Windows file and component names use.
#include "machine_state.h"

#include <stdio.h>
#include <wctype.h>

namespace sim {

std::wstring GuidText(const GUID &g) {
    wchar_t text[40];
    swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return text;
}

bool ParseGuid(const std::string &text, GUID *guid) {
    unsigned d1, d2, d3, b[8];
    char close = 0;
    if (sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0],
               &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
        close != '}')
        return false;
    guid->Data1 = d1;
    guid->Data2 = static_cast<uint16_t>(d2);
    guid->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
    return true;
}

std::wstring LowerCase(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return text;
}

bool EqualNoCase(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (towlower(static_cast<wint_t>(a[i])) != towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

}  // namespace sim
