// updater-release: builds a release folder (updates/update.zip, maps.zip and
// version.txt) from a game directory and a maps directory, refusing what
// players' updaters would refuse or mishandle. Exit status 0 when written,
// 1 when refused or failed, 2 for a wrong command line.

#include <chrono>
#include <clocale>
#include <cstdio>
#include <system_error>
#include <thread>

#include "base/atomic_file.h"
#include "base/file_system.h"
#include "release/installation_rules.h"
#include "release/package_tree.h"
#include "release/package_writer.h"
#include "release/read_back.h"
#include "release/release_options.h"
#include "release/release_version.h"

namespace fs = std::filesystem;

namespace {

struct Package {
    const char* fileName;
    PackageTree tree;
    PackageDigest digest;
};

void Print(const std::vector<std::string>& lines, const char* prefix) {
    for (const auto& line : lines) std::fprintf(stderr, "%s%s\n", prefix, line.c_str());
}

bool Fail(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return false;
}

// The output folder must not be inside what is packaged.
bool IsInside(const fs::path& inner, const fs::path& outer) {
    std::error_code ec;
    const auto a = fs::weakly_canonical(inner, ec);
    const auto b = fs::weakly_canonical(outer, ec);
    auto [end, ignored] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    return end == b.end();
}

bool CheckInputs(const ReleaseOptions& options, Package& update, Package& maps) {
    update.tree = ScanPackageTree(options.gameDir, "game directory");
    maps.tree = ScanPackageTree(options.mapsDir, "maps directory");
    CheckInstallationRules(update.tree, maps.tree);
    std::vector<std::string> problems = update.tree.problems;
    problems.insert(problems.end(), maps.tree.problems.begin(), maps.tree.problems.end());
    for (const auto* package : {&update, &maps})
        if (package->tree.files.empty() && package->tree.problems.empty())
            problems.push_back(std::string(package->fileName) + ": the directory holds no files");
    if (IsInside(options.outDir, options.gameDir) || IsInside(options.outDir, options.mapsDir))
        problems.push_back("the output folder lies inside a directory that is packaged");
    // A key that cannot sign is found before the packages are made, not after.
    std::string probe, keyError;
    if (!options.signKey.empty() && !SignVersionText(probe, options.signKey, keyError)) problems.push_back(keyError);
    Print(update.tree.warnings, "warning: ");
    Print(maps.tree.warnings, "warning: ");
    Print(problems, "error: ");
    return problems.empty();
}

bool WriteAndCheck(const fs::path& updates, Package& package) {
    const fs::path file = updates / package.fileName;
    std::string error;
    if (!WritePackage(package.tree.files, file, error)) return Fail(error);
    // The digest is taken on a second core while the package is read back.
    bool digested = false;
    std::thread digest([&] { digested = DigestPackage(file, package.digest); });
    bool readBack = ReadBackPackage(file, package.tree.files, error);
    digest.join();
    if (!readBack) return Fail(error);
    return digested || Fail("cannot read " + file.string());
}

bool WriteVersionFile(const ReleaseOptions& options, const fs::path& updates, const Package& update,
                      const Package& maps) {
    std::string text = ReleaseVersionText(options.gameVersion, options.updaterVersion, update.digest, maps.digest);
    std::string error;
    if (!options.signKey.empty() && !SignVersionText(text, options.signKey, error)) return Fail(error);
    return WriteFileAtomically(updates / "version.txt", text) || Fail("cannot write version.txt");
}

void PrintSummary(const Package& package) {
    std::printf("%-11s %zu files, %llu bytes -> %llu bytes\n", package.fileName, package.tree.files.size(),
                static_cast<unsigned long long>(package.tree.bytes),
                static_cast<unsigned long long>(package.digest.size));
}

bool MakeRelease(const ReleaseOptions& options) {
    Package update{"update.zip", {}, {}};
    Package maps{"maps.zip", {}, {}};
    if (!CheckInputs(options, update, maps)) return Fail("nothing written");
    const fs::path updates = options.outDir / "updates";
    std::error_code ec;
    fs::create_directories(updates, ec);
    if (ec) return Fail("cannot create " + updates.string() + ": " + ec.message());
    // version.txt is written last: until then the folder holds no release that
    // an updater would install.
    RemoveQuietly(updates / "version.txt");
    if (!WriteAndCheck(updates, update) || !WriteAndCheck(updates, maps) ||
        !WriteVersionFile(options, updates, update, maps))
        return false;
    PrintSummary(update);
    PrintSummary(maps);
    std::printf("version.txt %s, game %s, updater %s\n", options.signKey.empty() ? "unsigned" : "signed",
                options.gameVersion.c_str(), options.updaterVersion.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");  // letter-case folding beyond ASCII
    ReleaseOptions options;
    std::string error;
    if (!ParseReleaseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "error: %s\n%s", error.c_str(), kReleaseUsage);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    if (!MakeRelease(options)) return 1;
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::printf("written to %s in %.1f s\n", (options.outDir / "updates").c_str(), elapsed.count());
    return 0;
}
