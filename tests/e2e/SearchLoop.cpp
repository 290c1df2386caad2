// For the wait benchmark: what searching for the tax program again and again
// without any pause costs. Prints the CPU seconds used and the passes made.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/Processes.h"

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    auto end = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
    long passes = 0;
    while (std::chrono::steady_clock::now() < end) {
        App::ProcessFinder finder = App::ProcessFinder::Fill();
        uint32_t pid = 0;
        App::FindRunningProgram(finder, App::kTaxProgramName, pid);
        ++passes;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                 usage.ru_stime.tv_usec / 1e6;
    std::printf("%.3f %ld\n", cpu, passes);
    return 0;
}
