// A small reader over a fuzz input: fixed-size fields first, the rest as
// text. Reading past the end yields zeros, so every input is usable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

class Input {
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t Word() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Dword() {
        const uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    size_t Remaining() const { return m_size - m_pos; }
    const uint8_t *Rest() const { return m_data + m_pos; }
    void Skip(size_t count) { m_pos += count < Remaining() ? count : Remaining(); }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A finding: say what differed and abort, which libFuzzer reports as a crash
// and saves the input for.
[[noreturn]] inline void Fail(const char *what) {
    fprintf(stderr, "fuzz finding: %s\n", what);
    abort();
}

inline void Check(bool condition, const char *what) {
    if (!condition) Fail(what);
}

}  // namespace fuzz
