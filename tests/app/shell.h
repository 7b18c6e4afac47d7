// Running the real command-line program from a shell, as a user would, in the app tests.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vesprey::test {

struct Outcome {
    int exitCode = -1;
    std::string out;  // standard output (with stderr when the command sends it there)
    std::string err;  // standard error, when runCapturingStderr was used
};

// A single-quoted shell word.
inline std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `command` through the shell and collects its standard output.
inline Outcome runShell(const std::string& command) {
    Outcome result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.out.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs `command` with its standard error in a file of `dir`, returned apart from the output.
inline Outcome runCapturingStderr(const std::string& command, const std::filesystem::path& dir) {
    const std::filesystem::path errPath = dir / "stderr.txt";
    Outcome result = runShell(command + " 2>" + quoted(errPath.string()));
    result.err = readFile(errPath);
    return result;
}

}  // namespace vesprey::test
