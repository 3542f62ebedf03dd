// A whole session of an application with the port — start, open, every settings request, data
// both ways, a wait on the mask, sleep and wake, close, removal — run with one fault planted, and
// what each step told its caller. Shared by the fault sweeps: each plants its fault in `beforeStart`.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "tests/port/com_port.h"

namespace faults {

using namespace win32;
using port_test::ErrorOf;
using port_test::OpenCom3;
using port_test::Overlapped;

// Outcomes of many runs, step by step: "open ERROR_NOT_ENOUGH_MEMORY" -> how many runs ended so.
struct Tally {
    std::map<std::string, uint64_t> counts;
    uint64_t runs = 0;
    void print(const char *title) const;
};

struct SessionResult {
    std::string outcome;  // "start ok; open failed 8; ..."
    int64_t emulated = 0;  // 100 ns, from the start to the removal
};

// Runs the session on a machine of its own. `plant` runs before the start (fault rules); `withdraw` before the
// removal, so that a fault left standing does not block it. Failures of the checks are reported to the running test.
SessionResult RunSession(const std::function<void(lab::Bench &)> &plant,
                         const std::function<void(lab::Bench &)> &withdraw, Tally *tally);

// A Win32 error, by name where the port gives it.
std::string ErrorName(DWORD error);

}  // namespace faults
