#include <cstring>
#include <iterator>
#include <string_view>

#include "tests/driver/pnp_test_support.h"

namespace {

using Rows = std::vector<std::pair<LONG, ULONG>>;

Rows Table() {
    Rows rows;
    for (LONG i = 0; i < DriverGlobals.ExtendedRateCount; i++)
        rows.push_back({DriverGlobals.ExtendedRateTable[i].RequestedRate, DriverGlobals.ExtendedRateTable[i].ChipRateValue});
    return rows;
}

// The service key's settings, read when the driver loads.
class ExtBaudrate : public pt::PnpTest {
protected:
    void SetUp() override {}  // each test loads the driver once its settings are in place
    std::u16string ServiceKey() { return emu::IoManager::ServiceKeyPath(u"miravo"); }
    void LoadDriver() { ASSERT_EQ(io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS); }
};

// Only a string value is taken, however well-formed its text; a reload starts afresh.
TEST_F(ExtBaudrate, LoadTakesTheTableFromAStringValueOnly) {
    const std::u16string text = u"250000,7 500000,8";
    registry.SetString(ServiceKey(), u"ExtBaudrate", text);
    LoadDriver();
    EXPECT_EQ(Table(), (Rows{{250000, 7}, {500000, 8}}));
    // No memory for the settings path: no table either.
    pool.failTag(MIRAVO_POOL_TAG, 1);
    EXPECT_EQ(ReadDriverSettings(&DriverGlobals.RegistryPath), STATUS_INSUFFICIENT_RESOURCES);
    pool.clearFaults();
    EXPECT_EQ(DriverGlobals.ExtendedRateCount, 0);
    TearDown();
    registry.SetValue(ServiceKey(), u"ExtBaudrate", REG_BINARY, {reinterpret_cast<const uint8_t *>(text.data()), text.size() * 2});
    LoadDriver();
    EXPECT_EQ(Table(), Rows{});
    EXPECT_EQ(DriverGlobals.ExtendedRateTable[0].RequestedRate, 0);
}

// The parse itself, on the cases that decide between a table and none; it stops at the given length and at a NUL.
TEST(ExtBaudrateParse, MalformedTextLeavesTableEmpty) {
    using namespace std::string_view_literals;
    struct Case {
        std::string_view text;
        Rows rows;
        ULONG length = ~0u;  // all of the text
    } cases[] = {
        {"", {}},
        {"250000,7", {{250000, 7}}},
        {"250000,7 ", {}},                       // a trailing space starts a pair without a comma
        {"250000", {}},                          // no comma
        {"250000,7 500000", {}},                 // all or nothing
        {"250000, 7", {}},                       // the space ends the pair; "7" lacks a comma
        {"abc,def", {{0, 0}}},                   // words convert to 0
        {"123456789012345678901,1", {{792095797, 1}}},  // 21 characters: accepted, wraps
        {"1234567890123456789012,1", {}},        // 22 characters
        {"1,123456789012345678901", {{1, 792095797u}}},
        {"1,1234567890123456789012", {}},
        {"-5,+6", {{-5, 6}}},
        {"  9600,1", {{9600, 1}}},
        {"250000,7 500000,8", {{250000, 7}}, 8},
        {"250000,7\0 9,9"sv, {{250000, 7}}},
        {"", {}},
    };
    std::string eleven;
    Rows ten;
    for (int i = 1; i <= 11; i++) {
        eleven += (i > 1 ? " " : "") + std::to_string(i * 1000) + "," + std::to_string(i);
        if (i <= 10) ten.push_back({i * 1000, ULONG(i)});
    }
    cases[std::size(cases) - 1] = {eleven, ten};  // the table holds ten: the rest is ignored
    for (const Case &c : cases) {
        ExtendedRate table[EXTENDED_RATE_ROWS];
        std::memset(table, 0, sizeof(table));
        LONG count = ParseExtendedRates(c.text.data(), c.length == ~0u ? ULONG(c.text.size()) : c.length, table);
        Rows rows;
        for (LONG i = 0; i < count; i++) rows.push_back({table[i].RequestedRate, table[i].ChipRateValue});
        EXPECT_EQ(rows, c.rows) << "text \"" << c.text << "\"";
        for (LONG i = count; i < EXTENDED_RATE_ROWS; i++) EXPECT_EQ(table[i].RequestedRate, 0) << c.text;
    }
}

}  // namespace
