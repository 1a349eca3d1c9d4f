// libFuzzer target: any bytes as a package. ExtractZip must return without a
// crash, a leak or a sanitizer report, and must never write beside its
// destination.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "services/zip_extract.h"

namespace fs = std::filesystem;

namespace {

// A private folder for the run, removed when the fuzzer exits normally.
struct WorkDirectory {
    fs::path path;
    WorkDirectory() {
        std::string pattern = (fs::temp_directory_path() / "zip-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
    }
    ~WorkDirectory() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::size_t CountEntries(const fs::path& directory) {
    std::error_code ec;
    std::size_t count = 0;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const WorkDirectory workDirectory;
    const fs::path& work = workDirectory.path;
    const fs::path package = work / "package.zip";
    const fs::path destination = work / "dest";
    {
        std::ofstream out(package, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ec;
    fs::create_directory(destination, ec);
    ExtractZip(package, destination);
    // Only the package and the destination may exist in the work folder.
    if (CountEntries(work) != 2) std::abort();
    fs::remove_all(destination, ec);
    return 0;
}
