#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/rtl_string.h"
#include "emulator/kernel/verifier.h"

namespace {

// A counted string over a fixed buffer the test can inspect past Length.
struct Buffer {
    explicit Buffer(USHORT maximumBytes) {
        std::memset(chars, 0x55, sizeof chars);
        s = {0, maximumBytes, chars};
    }
    std::u16string text() const { return std::u16string(emu::View(s)); }
    WCHAR chars[32];
    UNICODE_STRING s;
};

UNICODE_STRING Literal(const char16_t *text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(RtlString, InitCountsBytesWithoutTerminatorCopyAndAppendTerminateOnlyWithRoom) {
    emu::Machine machine;
    UNICODE_STRING none = Literal(nullptr), src = Literal(u"\\Device\\Serial");
    EXPECT_TRUE(none.Length == 0 && none.MaximumLength == 0 && none.Buffer == nullptr);
    EXPECT_EQ(std::pair(src.Length, src.MaximumLength), (std::pair<USHORT, USHORT>(28, 30)));
    Buffer small(8);
    RtlCopyUnicodeString(&small.s, &src);
    EXPECT_EQ(small.text(), u"\\Dev");
    EXPECT_EQ(small.chars[4], 0x5555) << "no room for a terminator: nothing written past MaximumLength";

    Buffer roomy(40);
    RtlCopyUnicodeString(&roomy.s, &src);
    EXPECT_EQ(roomy.text(), u"\\Device\\Serial");
    EXPECT_EQ(roomy.chars[14], 0);

    RtlCopyUnicodeString(&roomy.s, nullptr);
    EXPECT_EQ(roomy.s.Length, 0);

    // Appending refuses what does not fit and leaves the destination alone.
    Buffer b(12);
    UNICODE_STRING prefix = Literal(u"COM");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &prefix), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"12"), STATUS_SUCCESS);
    EXPECT_EQ(b.text(), u"COM12");
    EXPECT_EQ(b.chars[5], 0);

    // Exactly full: accepted, no terminator.
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"7"), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(b.s.Length, b.chars[6]), std::tuple(12, 0x5555));

    UNICODE_STRING more = Literal(u"X");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &more), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"X"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(b.text(), u"COM127");
}

TEST(RtlString, UnicodeToAnsiAllocatesOrTruncatesWithOverflowAndItsFailuresAreCaught) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    UNICODE_STRING src = Literal(u"COM12");

    ANSI_STRING owned{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&owned, &src, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(owned.Buffer, "COM12");
    EXPECT_EQ(std::pair(owned.Length, owned.MaximumLength), (std::pair<USHORT, USHORT>(5, 6)));
    EXPECT_EQ(pool.countInUse(emu::kRtlStringTag), 1u);
    RtlFreeAnsiString(&owned);
    EXPECT_EQ(owned.Buffer, nullptr);
    EXPECT_EQ(pool.countInUse(emu::kRtlStringTag), 0u);

    char small[4];
    ANSI_STRING dst{0, sizeof small, small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&dst, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(small, "COM") << "what fits, terminated";
    EXPECT_EQ(dst.Length, 3);
    EXPECT_EQ(pool.countInUse(emu::kRtlStringTag), 0u);

    pool.failTag(emu::kRtlStringTag, 1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&owned, &src, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(owned.Buffer, nullptr);
    // A driver's own allocation handed to RtlFreeUnicodeString: wrong tag.
    auto *mine = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, emu::Tag("Mirv")));
    UNICODE_STRING s{0, 16, mine};
    {
        emu::ReportCapture capture;
        RtlFreeUnicodeString(&s);
        EXPECT_TRUE(capture.saw(emu::Violation::PoolWrongTag));
    }
    ExFreePoolWithTag(mine, emu::Tag("Mirv"));
}

// In base 10, as the driver numbers its devices.
TEST(RtlString, IntegerToUnicodeStringNeedsRoomForTheTerminator) {
    emu::Machine machine;
    for (auto [value, text] : {std::pair<ULONG, const char16_t *>{0, u"0"}, {0xFFFFFFFF, u"4294967295"}}) {
        Buffer b(40);
        EXPECT_EQ(RtlIntegerToUnicodeString(value, 10, &b.s), STATUS_SUCCESS);
        EXPECT_EQ(b.text(), text);
    }
    Buffer noTerminatorRoom(8);
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &noTerminatorRoom.s), STATUS_BUFFER_OVERFLOW);
}

}  // namespace
