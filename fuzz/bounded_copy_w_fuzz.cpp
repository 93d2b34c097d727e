// BoundedCopyW against a plain model of a bounded copy: the result, every
// character of the destination, and guard characters past the capacity.
//
// Input: capacity (16 bits, taken modulo 600), a fill value for the
// destination, then the source as 16-bit characters (a zero ends it early).
#include <windows.h>

#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "setup/bounded_text.h"

namespace {

constexpr size_t kMaxCapacity = 600;
constexpr size_t kGuard = 16;
constexpr WCHAR kGuardChar = 0xFEED;

struct Expected {
    HRESULT result;
    std::vector<WCHAR> buffer;
};

// The copy as the contract states it, with no cleverness.
Expected Model(const std::vector<WCHAR> &before, size_t capacity, const WCHAR *src) {
    Expected expected{S_OK, before};
    if (capacity == 0) {
        expected.result = E_INVALIDARG;
        return expected;
    }
    size_t length = 0;
    while (src[length] != 0) ++length;
    if (length < capacity) {
        for (size_t i = 0; i <= length; ++i) expected.buffer[i] = src[i];
        return expected;
    }
    for (size_t i = 0; i + 1 < capacity; ++i) expected.buffer[i] = src[i];
    expected.buffer[capacity - 1] = 0;
    expected.result = ndisfilter::kInsufficientBuffer;
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    const size_t capacity = input.Word() % kMaxCapacity;
    const WCHAR fill = input.Word();

    // The source exactly as long as it is, so that reading past its
    // terminator is an out-of-bounds read.
    const size_t sourceLength = input.Remaining() / 2;
    const auto source = std::make_unique<WCHAR[]>(sourceLength + 1);
    for (size_t i = 0; i < sourceLength; ++i) source[i] = input.Word();
    source[sourceLength] = 0;

    std::vector<WCHAR> before(capacity + kGuard, kGuardChar);
    for (size_t i = 0; i < capacity; ++i) before[i] = fill;
    const Expected expected = Model(before, capacity, source.get());

    const auto buffer = std::make_unique<WCHAR[]>(capacity + kGuard);
    for (size_t i = 0; i < before.size(); ++i) buffer[i] = before[i];
    const HRESULT result = ndisfilter::BoundedCopyW(buffer.get(), capacity, source.get());

    fuzz::Check(result == expected.result, "BoundedCopyW result differs from the model");
    for (size_t i = 0; i < capacity; ++i)
        fuzz::Check(buffer[i] == expected.buffer[i], "BoundedCopyW buffer differs from the model");
    for (size_t i = capacity; i < capacity + kGuard; ++i)
        fuzz::Check(buffer[i] == kGuardChar, "BoundedCopyW wrote past the capacity");
    return 0;
}
