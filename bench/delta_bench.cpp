// The patch engine as separate processes, so bench_delta.py can time each
// step and read its peak memory like any other tool's:
//
//   delta_bench make OLD NEW PATCH      MakePatch (the check pass included)
//   delta_bench pack INSTALLER PACKED   MakePacked
//   delta_bench apply BASE|- PATCH OUT SIZE
//
// Status 0 on success; else the reason or the cause on stderr.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/Patch.h"

int main(int argc, char** argv) {
    const std::string step = argc > 1 ? argv[1] : "";
    if (step == "make" && argc == 5) {
        const std::string error = Transfer::MakePatch(argv[2], argv[3], argv[4]);
        if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
        return error.empty() ? 0 : 1;
    }
    if (step == "pack" && argc == 4) {
        const std::string error = Transfer::MakePacked(argv[2], argv[3]);
        if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
        return error.empty() ? 0 : 1;
    }
    if (step == "apply" && argc == 6) {
        const bool packed = std::string(argv[2]) == "-";
        const int base = packed ? -1 : ::open(argv[2], O_RDONLY | O_CLOEXEC);
        const int patch = ::open(argv[3], O_RDONLY | O_CLOEXEC);
        const int out = ::open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if ((!packed && base < 0) || patch < 0 || out < 0) {
            std::perror("open");
            return 1;
        }
        const Transfer::PatchCause cause =
            Transfer::ApplyPatch(base, patch, out, std::strtoll(argv[5], nullptr, 10));
        if (cause != Transfer::PatchCause::Ok)
            std::fprintf(stderr, "%s\n", Transfer::PatchCauseName(cause));
        return cause == Transfer::PatchCause::Ok && ::close(out) == 0 ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: delta_bench make OLD NEW PATCH | pack INSTALLER PACKED |"
                 " apply BASE|- PATCH OUT SIZE\n");
    return 2;
}
