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
#include "base/durable_files.h"
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

bool CheckInputs(const ReleaseOptions& options, Package& update, Package& maps, SigningKey& key) {
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
    Print(update.tree.warnings, "warning: ");
    Print(maps.tree.warnings, "warning: ");
    // The key is read and unlocked once, before any package is made, and only
    // for a release that is otherwise sound (no passphrase asked in vain).
    std::string keyError;
    if (problems.empty() && !options.signKey.empty() &&
        !LoadSigningKey(options.signKey, options.passphraseFile, key, keyError))
        problems.push_back(keyError);
    Print(problems, "error: ");
    return problems.empty();
}

// In the order they take their names: version.txt, which points players'
// updaters at the packages, last.
constexpr const char* kReleaseFiles[] = {"update.zip", "maps.zip", "version.txt"};

fs::path TemporaryName(const fs::path& file) {
    fs::path temporary = file;
    temporary += ".tmp";
    return temporary;
}

// Writes the package under its temporary name and checks it there.
bool WriteAndCheck(const fs::path& updates, Package& package) {
    const fs::path file = TemporaryName(updates / package.fileName);
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

bool WriteVersionFile(const ReleaseOptions& options, const SigningKey& key, const fs::path& updates,
    const Package& update, const Package& maps) {
    std::string text = ReleaseVersionText(options.gameVersion, options.updaterVersion, update.digest, maps.digest);
    std::string error;
    if (key && !SignVersionText(text, key, error)) return Fail(error);
    return WriteAndFlush(TemporaryName(updates / "version.txt"), {text}) || Fail("cannot write version.txt");
}

// The finished files take their names: an updater that reads the old
// version.txt meanwhile is refused the new packages by their checksums and
// finds the release at a later start.
bool PutInPlace(const fs::path& updates) {
    // A power cut after a rename must not leave a name on packages whose bytes never reached the disk.
    if (!FlushFilesToDisk(updates)) return Fail("cannot flush the packages to the disk; the old release stays");
    for (const char* name : kReleaseFiles) {
        if (!ReplaceFileWith(TemporaryName(updates / name), updates / name)) {
            return Fail("cannot rename " + TemporaryName(updates / name).string() + " to " + name +
                        (name == kReleaseFiles[0] ? "; the old release stays"
                                                  : "; the release is incomplete: run the tool again"));
        }
    }
    return true;
}

void PrintSummary(const Package& package) {
    std::printf("%-11s %zu files, %llu bytes -> %llu bytes\n", package.fileName, package.tree.files.size(),
        static_cast<unsigned long long>(package.tree.bytes), static_cast<unsigned long long>(package.digest.size));
}

// Until the last rename the folder serves its old release whole; a failed
// run leaves that release as it was and takes its temporary files away.
bool MakeRelease(const ReleaseOptions& options) {
    Package update{"update.zip", {}, {}};
    Package maps{"maps.zip", {}, {}};
    SigningKey key;
    if (!CheckInputs(options, update, maps, key)) return Fail("nothing written");
    const fs::path updates = options.outDir / "updates";
    std::error_code ec;
    fs::create_directories(updates, ec);
    if (ec) return Fail("cannot create " + updates.string() + ": " + ec.message());
    const bool written = WriteAndCheck(updates, update) && WriteAndCheck(updates, maps) &&
                         WriteVersionFile(options, key, updates, update, maps) && PutInPlace(updates);
    for (const char* name : kReleaseFiles) RemoveQuietly(TemporaryName(updates / name));
    if (!written) return false;
    PrintSummary(update);
    PrintSummary(maps);
    std::printf("version.txt %s, game %s, updater %s\n", key ? "signed" : "unsigned", options.gameVersion.c_str(),
        options.updaterVersion.c_str());
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
