// libFuzzer target: any bytes as a package. ExtractZip must return without a
// crash, a leak or a sanitizer report, and must never write beside its
// destination.
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "zip/zip_extract.h"

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
    if (std::distance(fs::directory_iterator(work), fs::directory_iterator()) != 2) std::abort();
    fs::remove_all(destination, ec);
    return 0;
}
