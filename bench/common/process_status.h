// The benchmarks' look at their own process: a kilobyte field of /proc/self/status.
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

// The value of `field` ("VmRSS:", "VmHWM:") in kB; -1 when the file has no such line.
inline long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) {
            return std::strtol(line.c_str() + length, nullptr, 10);
        }
    }
    return -1;
}
