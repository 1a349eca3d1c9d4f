// libFuzzer target: any bytes as version.txt. Reading and comparing must not
// crash, and the comparison must stay a consistent order on whatever it reads.
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/file_system.h"
#include "version/version_file.h"

namespace fs = std::filesystem;

namespace {

// The input file of the run, removed when the fuzzer exits normally.
struct InputFile {
    fs::path path = fs::temp_directory_path() / ("version-fuzz-" + std::to_string(getpid()) + ".txt");
    ~InputFile() { RemoveQuietly(path); }
};

void CheckOrder(const std::string& a, const std::string& b) {
    if (CompareVersions(a, a) != 0 || CompareVersions(b, b) != 0) std::abort();
    int ab = CompareVersions(a, b);
    if (ab < -1 || ab > 1 || CompareVersions(b, a) != -ab) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const InputFile input;
    const fs::path& file = input.path;
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    VersionInfo info{"1.0.0", "1.0.0"};
    if (!ReadVersionFile(file, info)) std::abort();
    CheckOrder(info.gameVersion, info.updaterVersion);
    CheckOrder(std::string(reinterpret_cast<const char*>(data), size), info.gameVersion);
    return 0;
}
