// BoundedAppendA against a plain model of a bounded append: the result, every
// byte of the destination, and guard bytes past the capacity.
//
// Input: capacity (16 bits, modulo 600), a fill byte, the length n of the
// destination's existing bytes, those n bytes (placed first, the rest of the
// capacity filled with the fill byte, so the destination may hold no
// terminator at all), then the source text (a zero ends it early).
#include <windows.h>

#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "setup/bounded_text.h"

namespace {

constexpr size_t kMaxCapacity = 600;
constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\x5A';

struct Expected {
    HRESULT result;
    std::vector<char> buffer;
};

Expected Model(const std::vector<char> &before, size_t capacity, const char *src) {
    Expected expected{S_OK, before};
    if (capacity == 0) {
        expected.result = E_INVALIDARG;
        return expected;
    }
    size_t existing = 0;
    while (existing < capacity && before[existing] != '\0') ++existing;
    if (existing == capacity) {
        expected.result = E_INVALIDARG;
        return expected;
    }
    size_t length = 0;
    while (src[length] != '\0') ++length;
    const size_t room = capacity - existing;  // terminator included
    if (length < room) {
        for (size_t i = 0; i <= length; ++i) expected.buffer[existing + i] = src[i];
        return expected;
    }
    for (size_t i = 0; i + 1 < room; ++i) expected.buffer[existing + i] = src[i];
    expected.buffer[capacity - 1] = '\0';
    expected.result = ndisfilter::kInsufficientBuffer;
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    const size_t capacity = input.Word() % kMaxCapacity;
    const char fill = static_cast<char>(input.Byte());
    size_t existing = input.Word() % kMaxCapacity;
    if (existing > input.Remaining()) existing = input.Remaining();

    std::vector<char> before(capacity + kGuard, kGuardByte);
    for (size_t i = 0; i < capacity; ++i)
        before[i] = i < existing ? static_cast<char>(input.Rest()[i]) : fill;
    input.Skip(existing);

    const size_t sourceLength = input.Remaining();
    const auto source = std::make_unique<char[]>(sourceLength + 1);
    for (size_t i = 0; i < sourceLength; ++i) source[i] = static_cast<char>(input.Rest()[i]);
    source[sourceLength] = '\0';

    const Expected expected = Model(before, capacity, source.get());

    const auto buffer = std::make_unique<char[]>(capacity + kGuard);
    for (size_t i = 0; i < before.size(); ++i) buffer[i] = before[i];
    const HRESULT result = ndisfilter::BoundedAppendA(buffer.get(), capacity, source.get());

    fuzz::Check(result == expected.result, "BoundedAppendA result differs from the model");
    for (size_t i = 0; i < capacity; ++i)
        fuzz::Check(buffer[i] == expected.buffer[i],
                    "BoundedAppendA buffer differs from the model");
    for (size_t i = capacity; i < capacity + kGuard; ++i)
        fuzz::Check(buffer[i] == kGuardByte, "BoundedAppendA wrote past the capacity");
    return 0;
}
