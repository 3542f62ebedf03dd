// What the driver printed with DbgPrint, for tests to read. Echoed to stderr when the
// environment variable MIRAVO_DBGPRINT is set.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

class DebugLog {
public:
    void append(const std::string &text) {
        std::lock_guard<std::mutex> g(lock_);
        lines_.push_back(text);
        if (std::getenv("MIRAVO_DBGPRINT")) std::fputs(text.c_str(), stderr);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(lock_);
        return lines_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

}  // namespace emu
