// miravo: the lab. Runs the driver on the emulated machine with a simulated chip and shows what
// an application sees through the Win32 comm API.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tools/miravo/commands.h"

namespace miravo {

bool Number(const char *text, unsigned long long max, unsigned long long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return *text >= '0' && *text <= '9' && *end == 0 && errno == 0 && value >= 1 && value <= max;
}

namespace {

constexpr Command kCommands[] = {
    {"demo", "(default) a test pattern through COM3 and a loopback plug, read back and compared", DemoCommand},
    {"bench", "loopback throughput by rate against the line's and the bus's capacity", BenchCommand},
    {"pty", "COM3 as a Linux pseudo-terminal, on the real clock: serial programs use the port", PtyCommand},
    {"term", "an interactive terminal on COM3, on the real clock", TermCommand},
    {"chip", "the chip's identity, registers, options and EEPROM through the port's private requests", ChipCommand},
};

void Usage(FILE *out) {
    std::fputs("usage: miravo [command] [options]   (miravo <command> --help for its options)\n\ncommands:\n", out);
    for (const Command &c : kCommands)
        std::fprintf(out, "  %-8.*s %.*s\n", int(c.name.size()), c.name.data(), int(c.summary.size()), c.summary.data());
}

}  // namespace
}  // namespace miravo

int main(int argc, char **argv) {
    using namespace miravo;
    if (argc > 1) {
        const std::string_view first = argv[1];
        for (const Command &c : kCommands)
            if (first == c.name) return c.run(argc - 1, argv + 1);
        if (first == "-h" || first == "--help") {
            Usage(stdout);
            return 0;
        }
        if (first.empty() || first[0] != '-') {
            std::fprintf(stderr, "miravo: unknown command '%s'\n\n", argv[1]);
            Usage(stderr);
            return 2;
        }
    }
    // No command, or options first: the demo, as `miravo --bytes N` always meant.
    return DemoCommand(argc, argv);
}
