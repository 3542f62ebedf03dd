// Throughput: a mebibyte both ways at once through the loopback plug on every chip type, and a
// long write at a rate beyond what the chip's transmit FIFO holds in a frame.
#include "tests/port/com_port.h"

namespace port_test {
namespace {

class Loopback : public ComPort, public ::testing::WithParamInterface<int> {};

TEST_P(Loopback, MebibyteAt921600ComesBackByteExact) {
    lab::Options options;
    options.chip = emu::usb::ChipConfig::Variant(GetParam());
    options.chip.keepLineLog = false;
    Start(std::move(options));
    OpenAt(921600);
    const auto pattern = lab::TestPattern(1 << 20);
    std::vector<uint8_t> back(pattern.size());
    OVERLAPPED rd{}, wr{};
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const int64_t start = Now();
    ASSERT_FALSE(ReadFile(h, back.data(), DWORD(back.size()), nullptr, &rd));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WriteFile(h, pattern.data(), DWORD(pattern.size()), nullptr, &wr));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD written = 0, read = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &wr, &written, TRUE));
    ASSERT_TRUE(GetOverlappedResult(h, &rd, &read, TRUE));
    EXPECT_EQ(written, pattern.size());
    EXPECT_EQ(read, pattern.size());
    EXPECT_TRUE(back == pattern);
    // The line is the limit: 92,160 characters a second, and the port keeps it busy.
    const double seconds = double(Now() - start) / 1e7;
    EXPECT_GT(pattern.size() / seconds, 0.99 * 92160) << seconds << " s";
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
}

// 300,000 characters a second is more than the 256-byte transmit FIFO holds in a frame: the bus
// has to keep feeding it within the frame for the line to stay busy.
TEST_F(ComPort, WriteAt3MegabaudKeepsTheLineBusy) {
    lab::Options options;
    options.farEnd = lab::FarEnd::Nothing;
    options.chip.keepLineLog = false;
    Start(std::move(options));
    OpenAt(3000000, {}, 0);
    const auto pattern = lab::TestPattern(150000);
    const int64_t start = Now();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, pattern.data(), DWORD(pattern.size()), &written, nullptr));
    EXPECT_EQ(written, pattern.size());
    EXPECT_LT(double(Now() - start) / 1e7, 1.03 * 0.5);
}

INSTANTIATE_TEST_SUITE_P(EachChipType, Loopback, ::testing::Range(0, 5));

}  // namespace
}  // namespace port_test
