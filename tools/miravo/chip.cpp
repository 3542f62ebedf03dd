// miravo chip: a service tool over the port's private chip-access requests, as a configuration
// utility shows them: the chip's identity, its registers and options, its EEPROM (dump and
// write), and raw traffic on its pipes with the port's own transfers stopped.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tools/miravo/commands.h"
#include "tools/miravo/lab.h"

using namespace win32;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD Private(int n) { return 0x222000u + 4u * unsigned(n); }
constexpr DWORD kDeviceDescriptor = Private(0), kConfiguration = Private(1), kString = Private(2),
                kRawRead = Private(4), kBulkOutWrite = Private(6), kBulkInRead = Private(7),
                kEepromWrite = Private(10), kEepromRead = Private(11), kRegister1Bit = Private(20),
                kRegister1BitRead = Private(24), kChipType = Private(26), kTransfers = Private(41),
                kOptionBit = Private(42), kOptionBitRead = Private(43);
constexpr unsigned kEepromBytes = 256;

void Usage(FILE *out) {
    std::fputs(
        "usage: miravo chip [options]\n"
        "\n"
        "One port on a simulated chip behind a loopback plug; opens COM3 and shows what the port's\n"
        "private chip-access requests give: identity, registers, options and the EEPROM.\n"
        "\n"
        "options:\n"
        "  --type N             the chip variant, 0 to 4 (default 2)\n"
        "  --write ADDR=HEX     write bytes to the EEPROM from ADDR (e.g. 0x40=0a1b2c) and show the\n"
        "                       lines that changed\n"
        "  --option BIT=0|1     set or clear an option bit of register 1 (0x10, 0x20, 0x40, 0x80;\n"
        "                       0x08 on type 4) before the registers are shown\n"
        "  --pipes              stop the port's continuous transfers, send \"ping\" on bulk OUT, read\n"
        "                       it back raw on bulk IN, and restart them\n"
        "  -h, --help           this text\n",
        out);
}

// One private request on the synchronous handle; the bytes it returned, or nothing on failure
// (with the Win32 error in *error).
bool Ask(HANDLE h, DWORD code, const Bytes &in, DWORD outLength, Bytes &out, DWORD *error = nullptr) {
    out.assign(outLength, 0);
    DWORD n = 0;
    const BOOL ok = DeviceIoControl(h, code, in.empty() ? nullptr : const_cast<uint8_t *>(in.data()), DWORD(in.size()),
                                    outLength ? out.data() : nullptr, outLength, &n, nullptr);
    if (error) *error = ok ? 0 : GetLastError();
    out.resize(ok ? std::min<DWORD>(n, outLength) : 0);
    return ok;
}

std::string Utf8(const Bytes &descriptor) {
    std::string s;
    for (size_t i = 2; i + 1 < descriptor.size() && i + 1 < descriptor[0]; i += 2) {
        const unsigned c = descriptor[i] | descriptor[i + 1] << 8;
        s += c < 0x80 ? char(c) : '?';
    }
    return s;
}

void HexLine(unsigned address, const uint8_t *bytes, size_t n) {
    std::printf("  %04x ", address);
    for (size_t i = 0; i < 16; i++) i < n ? std::printf(" %02x", bytes[i]) : std::printf("   ");
    std::printf("  ");
    for (size_t i = 0; i < n; i++) std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    std::putchar('\n');
}

bool ReadEeprom(HANDLE h, Bytes &image) {
    if (Ask(h, kEepromRead, {0, 0}, kEepromBytes, image) && image.size() == kEepromBytes) return true;
    return lab::Fail("EEPROM read (0x22202C)");
}

void Identity(HANDLE h, int type) {
    Bytes d, config, s;
    std::printf("device\n");
    if (Ask(h, kDeviceDescriptor, {}, 18, d) && d.size() == 18) {
        std::printf("  %-22s %04x:%04x, release %x.%02x\n", "vendor:product", d[8] | d[9] << 8, d[10] | d[11] << 8,
                    d[13], d[12]);
        std::printf("  %-22s 0x%02x, control packets of %u bytes\n", "device class", d[4], d[7]);
        for (uint8_t index : {d[14], d[15]})
            if (index && Ask(h, kString, {index}, 64, s)) std::printf("  %-22s \"%s\"\n", index == d[14] ? "maker" : "product", Utf8(s).c_str());
    }
    if (Ask(h, kConfiguration, {}, 9, config) && config.size() == 9)
        std::printf("  %-22s %u interface(s), %u bytes of descriptors\n", "configuration", config[4],
                    config[2] | config[3] << 8);
    Bytes t;
    if (Ask(h, kChipType, {}, 1, t)) std::printf("  %-22s %d (classified by the port; asked for %d)\n", "chip type", int8_t(t[0]), type);
}

void Registers(HANDLE h) {
    std::printf("\nregisters\n  %-8s %-8s %s\n", "address", "value", "meaning");
    static const char *const kMeaning[] = {"flow control", "line options", "clock options"};
    Bytes v;
    for (unsigned r = 0; r < 3; r++)
        if (Ask(h, kRawRead, {uint8_t(0x80 + r), 0}, 1, v))
            std::printf("  0x%02x     0x%02x     register %u, %s\n", 0x80 + r, v[0], r, kMeaning[r]);
    // The numbered registers of the newer chips: not there below their type.
    const struct {
        int code;
        unsigned address;
        DWORD width;
    } numbered[] = {{32, 0x8686, 2}, {34, 0x8787, 2}, {36, 0x8C8C, 2}, {38, 0x8D8D, 2}, {27, 0x8E8E, 1}, {29, 0x8F8F, 1}};
    for (const auto &n : numbered) {
        DWORD error = 0;
        if (Ask(h, Private(n.code), {}, n.width, v, &error) && !v.empty()) {
            char value[8];
            std::snprintf(value, sizeof value, "0x%0*x", int(2 * v.size()), v.size() == 2 ? v[0] | v[1] << 8 : v[0]);
            std::printf("  0x%04x   %-8s numbered register (%lu byte%s)\n", n.address, value,
                        static_cast<unsigned long>(v.size()), v.size() == 1 ? "" : "s");
        } else
            std::printf("  0x%04x   -        not on this chip type\n", n.address);
    }
    std::printf("\noptions (register 1)\n");
    for (int bit = 0; bit < 3; bit++) {
        const DWORD code = bit == 2 ? kOptionBitRead : kRegister1BitRead + 4 * bit;
        if (Ask(h, code, {}, 1, v)) std::printf("  bit 0x%02x  %s\n", bit == 2 ? 0x08 : 0x40 << bit, v[0] ? "set" : "clear");
    }
}

void Dump(const Bytes &image, const Bytes *before) {
    for (unsigned a = 0; a < image.size(); a += 16)
        if (!before || std::memcmp(&image[a], &(*before)[a], 16)) HexLine(a, &image[a], 16);
}

bool Pipes(HANDLE h) {
    std::printf("\npipes\n");
    Bytes out;
    if (!Ask(h, kTransfers, {1, 0}, 0, out)) return lab::Fail("stop transfers (0x2220A4)");
    std::printf("  continuous transfers stopped\n");
    if (!Ask(h, kBulkOutWrite, {'p', 'i', 'n', 'g'}, 0, out)) return lab::Fail("bulk OUT write (0x222018)");
    std::printf("  bulk OUT   4 bytes sent: \"ping\"\n");
    Bytes back, more;
    // The loopback returns the bytes at the line's pace: read until all four are in.
    for (int tries = 0; back.size() < 4 && tries < 4; tries++) {
        if (!Ask(h, kBulkInRead, {}, 64, more)) return lab::Fail("bulk IN read (0x22201C)");
        back.insert(back.end(), more.begin(), more.end());
    }
    std::printf("  bulk IN    %zu bytes read raw: \"%.*s\"\n", back.size(), int(back.size()), reinterpret_cast<char *>(back.data()));
    if (!Ask(h, kTransfers, {0, 0}, 0, out)) return lab::Fail("restart transfers (0x2220A4)");
    std::printf("  continuous transfers restarted\n");
    return back == Bytes{'p', 'i', 'n', 'g'};
}

bool ParseHex(std::string_view text, Bytes &bytes) {
    if (text.empty() || text.size() % 2) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(std::string(text.substr(i, 2)).c_str(), "%2x", &v) != 1) return false;
        bytes.push_back(uint8_t(v));
    }
    return true;
}

}  // namespace

namespace miravo {

int ChipCommand(int argc, char **argv) {
    unsigned long long type = 2;
    bool pipes = false, write = false, option = false;
    unsigned long long writeAt = 0, optionBit = 0;
    Bytes data;
    bool optionOn = false;
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        }
        const bool hasValue = i + 1 < argc;
        if (arg == "--type" && hasValue) {
            // Number() takes 1 and up; type 0 is spelled as it is.
            const std::string_view v = argv[++i];
            if (v == "0") type = 0;
            else if (!Number(argv[i], 4, type)) return Usage(stderr), 2;
        } else if (arg == "--pipes") {
            pipes = true;
        } else if ((arg == "--write" || arg == "--option") && hasValue) {
            const std::string v = argv[++i];
            const size_t eq = v.find('=');
            if (eq == std::string::npos) return Usage(stderr), 2;
            const std::string where = v.substr(0, eq), what = v.substr(eq + 1);
            unsigned long long at = 0;
            const bool zero = where == "0" || where == "0x0" || where == "0x00";
            if (!zero && !Number(where.c_str(), arg == "--write" ? 0xFF : 0x80, at)) return Usage(stderr), 2;
            if (arg == "--write") {
                if (!ParseHex(what, data) || at + data.size() > kEepromBytes) {
                    std::fprintf(stderr, "miravo: --write needs whole hex bytes that fit below address 0x100\n");
                    return 2;
                }
                write = true;
                writeAt = at;
            } else {
                if (what != "0" && what != "1") return Usage(stderr), 2;
                option = true;
                optionBit = at;
                optionOn = what == "1";
            }
        } else {
            std::fprintf(stderr, "miravo: unknown option '%s'\n\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    static const unsigned kBits[] = {0x10, 0x20, 0x40, 0x80, 0x08};
    int bitIndex = -1;
    for (int b = 0; b < 5; b++)
        if (option && optionBit == kBits[b]) bitIndex = b;
    if (option && bitIndex < 0) {
        std::fprintf(stderr, "miravo: --option takes bit 0x10, 0x20, 0x40, 0x80 or 0x08\n");
        return 2;
    }

    lab::Options options;
    options.chip = emu::usb::ChipConfig::Variant(int(type));
    options.chip.keepLineLog = false;
    lab::Bench bench(std::move(options));
    if (!bench.ready()) return 1;
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lab::Fail("CreateFile(\\\\.\\COM3)"), 1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ok = ok && SetCommState(h, &dcb);
    if (!ok) lab::Fail("SetCommState");

    if (ok) {
        Identity(h, int(type));
        Bytes none;
        if (option) {
            const DWORD code = bitIndex == 4 ? kOptionBit : kRegister1Bit + 4 * bitIndex;
            ok = Ask(h, code, {uint8_t(optionOn)}, 0, none) || lab::Fail("option bit");
            if (ok && bitIndex == 4 && type != 4) std::printf("\n(bit 0x08 is an option of type 4 only: nothing was sent)\n");
        }
        Registers(h);
        Bytes image;
        ok = ok && ReadEeprom(h, image);
        if (ok) {
            std::printf("\nEEPROM (%u bytes)\n", kEepromBytes);
            Dump(image, nullptr);
        }
        if (ok && write) {
            Bytes in{uint8_t(writeAt)};
            in.insert(in.end(), data.begin(), data.end());
            ok = Ask(h, kEepromWrite, in, 0, none) || lab::Fail("EEPROM write (0x222028)");
            Bytes after;
            if (ok && ReadEeprom(h, after)) {
                std::printf("\nEEPROM after writing %zu byte(s) at 0x%02llx (changed lines)\n", data.size(), writeAt);
                Dump(after, &image);
                ok = std::equal(data.begin(), data.end(), after.begin() + long(writeAt));
            } else {
                ok = false;
            }
        }
        if (ok && pipes) ok = Pipes(h);
    }
    CloseHandle(h);
    const size_t left = bench.shutDown();
    std::printf("\nunplugged and unloaded: %zu bytes of 'COMX' pool left\n", left);
    return ok && left == 0 ? 0 : 1;
}

}  // namespace miravo
