// Reading a fuzzer's bytes as a script: integers and runs of bytes taken from the front, zeros
// once the input is used up, so that every input is a valid script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t *data, size_t size) : at_(data), end_(data + size) {}
    bool empty() const { return at_ == end_; }
    uint8_t byte() { return empty() ? 0 : *at_++; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> b;
        while (n-- && !empty()) b.push_back(byte());
        return b;
    }

private:
    const uint8_t *at_, *end_;
};

// A finding: libFuzzer keeps the input that led here.
[[noreturn]] inline void Finding(const char *what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

}  // namespace fuzz
