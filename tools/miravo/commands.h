// The lab's commands. Each lives in a file of its own and parses its own options; main.cpp's
// table names them. A command gets argv[0] = its name and returns the process's exit code
// (0 done, 1 the run failed, 2 bad usage).
#pragma once

#include <string_view>

namespace miravo {

using CommandMain = int (*)(int argc, char **argv);

struct Command {
    std::string_view name;
    std::string_view summary;  // one line for `miravo --help`
    CommandMain run;
};

// A whole decimal (or 0x hex) number from 1 to `max`; anything else is refused.
bool Number(const char *text, unsigned long long max, unsigned long long &value);

int DemoCommand(int argc, char **argv);   // demo.cpp
int BenchCommand(int argc, char **argv);  // demo.cpp
int PtyCommand(int argc, char **argv);    // pty.cpp
int TermCommand(int argc, char **argv);   // term.cpp
int ChipCommand(int argc, char **argv);   // chip.cpp

}  // namespace miravo
