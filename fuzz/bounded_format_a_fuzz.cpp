// BoundedFormatA against a plain model of bounded formatting with decimal
// conversions: the result, every byte of the destination, and guard bytes
// past the capacity.
//
// Input: capacity (16 bits, modulo 600), a flag byte (bit 0: a capacity above
// INT_MAX), a fill byte, four 32-bit arguments, then the format text (a zero
// ends it). The format is made safe for printf: "%d" (at most four) and "%%"
// stay directives, any other '%' becomes "%%".
#include <windows.h>

#include <limits.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "setup/bounded_text.h"

namespace {

constexpr size_t kMaxCapacity = 600;
constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\x5A';
constexpr int kArguments = 4;

// The format handed to BoundedFormatA, and the text it must produce.
struct Format {
    std::string directives;
    std::string text;
};

Format MakeFormat(const uint8_t *bytes, size_t size, const int (&args)[kArguments]) {
    Format format;
    int used = 0;
    for (size_t i = 0; i < size && bytes[i] != 0; ++i) {
        const char c = static_cast<char>(bytes[i]);
        const char next = i + 1 < size ? static_cast<char>(bytes[i + 1]) : '\0';
        if (c != '%') {
            format.directives += c;
            format.text += c;
        } else if (next == 'd' && used < kArguments) {
            format.directives += "%d";
            format.text += std::to_string(args[used++]);
            ++i;
        } else {
            format.directives += "%%";
            format.text += '%';
            if (next == '%') ++i;
        }
    }
    return format;
}

struct Expected {
    HRESULT result;
    std::vector<char> buffer;
};

Expected Model(const std::vector<char> &before, size_t capacity, const std::string &text) {
    Expected expected{S_OK, before};
    if (capacity == 0 || capacity > static_cast<size_t>(INT_MAX)) {
        expected.result = E_INVALIDARG;
        return expected;
    }
    const size_t kept = text.size() < capacity ? text.size() : capacity - 1;
    for (size_t i = 0; i < kept; ++i) expected.buffer[i] = text[i];
    expected.buffer[kept] = '\0';
    if (text.size() > capacity - 1) expected.result = ndisfilter::kInsufficientBuffer;
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    size_t capacity = input.Word() % kMaxCapacity;
    const uint8_t flags = input.Byte();
    const char fill = static_cast<char>(input.Byte());
    int args[kArguments];
    for (int &arg : args) arg = static_cast<int>(input.Dword());
    const Format format = MakeFormat(input.Rest(), input.Remaining(), args);

    // A capacity beyond INT_MAX is refused before the buffer is touched; the
    // real buffer is then only the guard.
    size_t allocated = capacity;
    if (flags & 1) {
        capacity = static_cast<size_t>(INT_MAX) + 1 + (capacity << 20);
        allocated = 0;
    }

    std::vector<char> before(allocated + kGuard, kGuardByte);
    for (size_t i = 0; i < allocated; ++i) before[i] = fill;
    const Expected expected = Model(before, capacity, format.text);

    const auto buffer = std::make_unique<char[]>(allocated + kGuard);
    for (size_t i = 0; i < before.size(); ++i) buffer[i] = before[i];
    const HRESULT result = ndisfilter::BoundedFormatA(
        buffer.get(), capacity, format.directives.c_str(), args[0], args[1], args[2], args[3]);

    fuzz::Check(result == expected.result, "BoundedFormatA result differs from the model");
    for (size_t i = 0; i < allocated; ++i)
        fuzz::Check(buffer[i] == expected.buffer[i],
                    "BoundedFormatA buffer differs from the model");
    for (size_t i = allocated; i < allocated + kGuard; ++i)
        fuzz::Check(buffer[i] == kGuardByte, "BoundedFormatA wrote past the capacity");
    return 0;
}
