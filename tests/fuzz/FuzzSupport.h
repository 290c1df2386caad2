#pragma once
// Shared by the fuzz targets: a scratch folder, files written from the input,
// and a check that stops the run with a message when a rule is broken.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace Fuzz {

// A rule the readers promise; a broken one is a finding, like a crash.
#define FUZZ_CHECK(condition)                                                                 \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: rule broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// One scratch folder per process, in memory where the machine has /dev/shm.
inline const std::string& ScratchFolder() {
    // Never destroyed: the clean-up at exit still needs it.
    static const std::string* folder = [] {
        std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/tessra-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return new std::string(pattern);
    }();
    return *folder;
}

inline std::string ScratchPath(const std::string& name) { return ScratchFolder() + "/" + name; }

inline void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool HasUpper(std::string_view text) {
    for (char c : text)
        if (c >= 'A' && c <= 'Z') return true;
    return false;
}

// A command line as argv gives it: no NUL.
inline std::string WithoutNul(std::string text) {
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

}  // namespace Fuzz
