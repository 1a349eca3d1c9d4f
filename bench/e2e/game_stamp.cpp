// Game stand-in for the end-to-end benchmark: the first thing it does is read
// CLOCK_MONOTONIC (the clock behind Python's time.monotonic_ns) and write it,
// in nanoseconds, to launched-at.txt beside itself, so the benchmark knows
// when the updater started the game without counting the pause that follows.
#include <time.h>

#include <cstdio>
#include <string>

int main(int, char** argv) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::string self = argv[0];
    std::string record = self.substr(0, self.find_last_of('/') + 1) + "launched-at.txt";
    std::FILE* out = std::fopen(record.c_str(), "w");
    if (!out) return 1;
    std::fprintf(out, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    return std::fclose(out) == 0 ? 0 : 1;
}
