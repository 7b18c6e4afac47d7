// The plain-libcurl baselines of the benchmarks collect answers with this.
#pragma once

#include <cstddef>
#include <string>

namespace vesprey::bench {

// libcurl write callback that appends to a std::string.
inline std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace vesprey::bench
