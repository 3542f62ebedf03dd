// Data through the loopback plug on every chip type.
#include "tests/port/com_port.h"

namespace port_test {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> p(n);
    uint32_t x = 0x9E3779B9;
    for (auto &b : p) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return p;
}

TEST_F(ComPort, SmallPatternComesBackThroughTheLoopback) {
    OpenAt(115200);
    const auto pattern = Pattern(1000);
    std::vector<uint8_t> back(pattern.size());
    OVERLAPPED rd{}, wr{};
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ReadFile(h, back.data(), DWORD(back.size()), nullptr, &rd));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    WriteFile(h, pattern.data(), DWORD(pattern.size()), nullptr, &wr);
    DWORD written = 0, read = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &wr, &written, TRUE));
    ASSERT_TRUE(GetOverlappedResult(h, &rd, &read, TRUE));
    EXPECT_EQ(written, pattern.size());
    EXPECT_EQ(read, pattern.size());
    EXPECT_EQ(back, pattern);
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
}

}  // namespace
}  // namespace port_test
