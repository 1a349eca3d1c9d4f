// Times one phase of the update application on a prepared tree and prints its
// wall time and the process's peak resident memory.
//
//   apply_bench make <root> <files>   installation <root>/game with <files> files,
//                                     package <root>/game/_update_temp with <files>
//                                     files, half of them at the installed paths
//   apply_bench <phase> <root>        phase: count, delete, remove-empty, copy, post-copy, and
//                                     what makes the update durable: flush-files (the package's
//                                     files to the disk, as extraction ends) and flush-names
//                                     (the installation's names, before version.txt)

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "base/durable_files.h"
#include "base/log.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFilesPerDirectory = 100;

void MakeTree(const fs::path& root, const std::string& prefix, int first, int count) {
    for (int i = first; i < first + count; ++i) {
        char name[64];
        std::snprintf(
            name, sizeof name, "%s%04d/f%03d.dat", prefix.c_str(), i / kFilesPerDirectory, i % kFilesPerDirectory);
        fs::path file = root / name;
        if (i % kFilesPerDirectory == 0) fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << "content of " << name << '\n';
    }
}

void Make(const fs::path& root, int files) {
    fs::path install = root / "game", extract = install / "_update_temp";
    MakeTree(install, "d", 0, files);              // the installed game
    ::sync();                                      // on the disk long since, as a player's installation is
    MakeTree(extract, "d", 0, files / 2);          // half of it again in the package
    MakeTree(extract, "n", 0, files - files / 2);  // and as many new files
    std::ofstream(install / "safelist.txt") << "# empty safelist: only protected names\n";
}

// The safelist as the install stage loads it; an unreadable one deletes nothing there.
Safelist SafelistOf(const fs::path& install) {
    Safelist safelist;
    std::wstring problem;
    LoadSafelist(install, safelist, problem);
    return safelist;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string phase = argv[1];
    const fs::path root = argv[2];
    if (phase == "make") {
        Make(root, argc > 3 ? std::atoi(argv[3]) : 100000);
        return 0;
    }
    const fs::path install = root / "game", extract = install / "_update_temp";
    OpenLog(root / "updater.log");  // the lines cost what they cost in the program
    auto start = std::chrono::steady_clock::now();
    unsigned long result = 0;
    if (phase == "count")
        result = CountFiles(extract);
    else if (phase == "delete")
        DeleteOutdatedFiles(install, extract, SafelistOf(install));
    else if (phase == "remove-empty")
        RemoveEmptyDirectories(install, extract, SafelistOf(install));
    else if (phase == "copy")
        result = CopyNewFiles(extract, install);
    else if (phase == "post-copy")
        RemoveEmptyDirectoriesAfterCopy(install);
    else if (phase == "flush-files")
        result = FlushFilesToDisk(extract);
    else if (phase == "flush-names")
        FlushNamesToDisk(install);
    else
        return 2;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %.3f s %ld KiB (result %lu)\n", phase.c_str(), seconds, usage.ru_maxrss, result);
    return 0;
}
