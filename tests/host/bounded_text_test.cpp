// Bounded copy, append and format at their boundaries: the result, the exact
// text left in the buffer, and nothing written past the capacity.
#include "setup/bounded_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

using ndisfilter::BoundedAppendA;
using ndisfilter::BoundedCopyW;
using ndisfilter::BoundedFormatA;

constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);
constexpr size_t kGuardChars = 16;

// `capacity` characters the operation may use, then guard characters it must
// never touch. Everything starts as '#', which is never a terminator.
template <typename Char>
struct GuardedBuffer {
    explicit GuardedBuffer(size_t capacity)
        : capacity(capacity), chars(capacity + kGuardChars, Char('#')) {}

    Char *data() { return chars.data(); }
    // The text up to the first terminator within the capacity (all of it if
    // there is none, which no expected text matches).
    std::basic_string<Char> Text() const {
        auto end = std::find(chars.begin(), chars.begin() + capacity, Char(0));
        return std::basic_string<Char>(chars.begin(), end);
    }
    bool GuardIntact() const {
        return std::all_of(chars.begin() + capacity, chars.end(),
                           [](Char c) { return c == Char('#'); });
    }

    size_t capacity;
    std::vector<Char> chars;
};

// Distinct characters at every position, so a shifted copy shows.
template <typename Char>
std::basic_string<Char> Pattern(size_t length) {
    std::basic_string<Char> text;
    for (size_t i = 0; i < length; ++i) text.push_back(Char('a' + i % 26));
    return text;
}

TEST(BoundedText, CopyWideKeepsAtMostCapacityMinusOneCharacters) {
    struct Case {
        size_t capacity, sourceLength;
        HRESULT result;
        size_t kept;
    };
    const Case cases[] = {
        {1, 0, S_OK, 0},
        {1, 1, kInsufficientBuffer, 0},
        {5, 4, S_OK, 4},
        {5, 5, kInsufficientBuffer, 4},
        {260, 259, S_OK, 259},
        {260, 260, kInsufficientBuffer, 259},
        {260, 400, kInsufficientBuffer, 259},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "capacity " << c.capacity << ", source " << c.sourceLength);
        GuardedBuffer<WCHAR> buffer(c.capacity);
        const std::wstring source = Pattern<WCHAR>(c.sourceLength);
        EXPECT_EQ(c.result, BoundedCopyW(buffer.data(), c.capacity, source.c_str()));
        EXPECT_EQ(source.substr(0, c.kept), buffer.Text());
        EXPECT_EQ(WCHAR(0), buffer.chars[c.kept]);
        EXPECT_TRUE(buffer.GuardIntact());
    }

    GuardedBuffer<WCHAR> untouched(0);
    EXPECT_EQ(E_INVALIDARG, BoundedCopyW(untouched.data(), 0, L"x"));
    EXPECT_TRUE(untouched.GuardIntact());
}

TEST(BoundedText, AppendNarrowFillsTheRestOrRefusesAnUnterminatedBuffer) {
    struct Case {
        size_t capacity;
        const char *existing, *source;
        HRESULT result;
        const char *text;
    };
    const Case cases[] = {
        {1, "", "", S_OK, ""},
        {1, "", "x", kInsufficientBuffer, ""},
        {5, "ab", "c", S_OK, "abc"},
        {5, "ab", "cd", S_OK, "abcd"},
        {5, "ab", "cde", kInsufficientBuffer, "abcd"},
        {5, "abcd", "", S_OK, "abcd"},
        {5, "abcd", "e", kInsufficientBuffer, "abcd"},
        {5, "", "abcdefgh", kInsufficientBuffer, "abcd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", '" << c.existing
                                        << "' + '" << c.source << "'");
        GuardedBuffer<char> buffer(c.capacity);
        std::copy(c.existing, c.existing + strlen(c.existing) + 1, buffer.data());
        EXPECT_EQ(c.result, BoundedAppendA(buffer.data(), c.capacity, c.source));
        EXPECT_EQ(std::string(c.text), buffer.Text());
        EXPECT_TRUE(buffer.GuardIntact());
    }

    // No terminator within the capacity, even one just past it: refused,
    // nothing written anywhere.
    for (size_t capacity : {0, 1, 6}) {
        SCOPED_TRACE(capacity);
        GuardedBuffer<char> buffer(capacity);
        buffer.chars[capacity] = '\0';
        const std::vector<char> before = buffer.chars;
        EXPECT_EQ(E_INVALIDARG, BoundedAppendA(buffer.data(), capacity, "x"));
        EXPECT_EQ(before, buffer.chars);
    }
}

TEST(BoundedText, FormatNarrowTruncatesAtCapacityAndRefusesBadCapacities) {
    struct Case {
        size_t capacity;
        HRESULT result;
        const char *text;
    };
    // "oem-12_345.inf" is 14 characters.
    const Case cases[] = {
        {15, S_OK, "oem-12_345.inf"},
        {16, S_OK, "oem-12_345.inf"},
        {14, kInsufficientBuffer, "oem-12_345.in"},
        {6, kInsufficientBuffer, "oem-1"},
        {1, kInsufficientBuffer, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.capacity);
        GuardedBuffer<char> buffer(c.capacity);
        EXPECT_EQ(c.result, BoundedFormatA(buffer.data(), c.capacity, "oem%d_%d.inf", -12, 345));
        EXPECT_EQ(std::string(c.text), buffer.Text());
        EXPECT_EQ('\0', buffer.chars[strlen(c.text)]);
        EXPECT_TRUE(buffer.GuardIntact());
    }

    // The largest accepted capacity writes only what the text needs; one
    // more is refused before anything is written.
    const size_t largest = static_cast<size_t>(INT_MAX);
    GuardedBuffer<char> small(4);
    EXPECT_EQ(E_INVALIDARG, BoundedFormatA(small.data(), largest + 1, "%d", 7));
    EXPECT_EQ(E_INVALIDARG, BoundedFormatA(small.data(), 0, "%d", 7));
    EXPECT_EQ(std::vector<char>(4 + kGuardChars, '#'), small.chars);
    EXPECT_EQ(S_OK, BoundedFormatA(small.data(), largest, "%d", 7));
    EXPECT_EQ("7", small.Text());
}

}  // namespace
