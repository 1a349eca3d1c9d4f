#pragma once
// What the unit tests share: a scratch directory removed afterwards, trees
// written and read back in a short notation, the log opened on a fresh file,
// the generated ZIP packages and the game stand-in.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apply/delete_phase.h"

namespace fs = std::filesystem;

// The files and directories below an unpacked package, as its listing.
PackageListing ListUnpackedPackage(const fs::path& extractDir);

struct ScratchDir {
    fs::path path;
    explicit ScratchDir(const std::string& tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

std::string ReadBytes(const fs::path& file);
void WriteBytes(const fs::path& file, const std::string& bytes);

// A tree, one entry per file or empty directory: "dir/file=content" ("dir/file"
// when empty) and "dir/empty/", paths in UTF-8 with '/'.
using Tree = std::vector<std::string>;
void WriteTree(const fs::path& root, const Tree& tree);
// The tree below root in that notation, sorted; a top-level `skip` is left out.
Tree ReadTree(const fs::path& root, const std::string& skip = "");
// The trees compared entry by entry, long contents shortened in the message.
void ExpectTree(const Tree& actual, Tree expected);

// The process log opened on a fresh file for the test's lifetime.
struct LogCapture {
    ScratchDir dir{"log"};
    LogCapture();
    ~LogCapture();
    // The messages so far, without their "[stamp] " prefix and CR LF.
    std::vector<std::string> Messages() const;
};
// A path as the log writes it: one byte per character up to U+00FF, '?' above.
std::string LogText(const fs::path& path);
// Expected log lines against the actual ones: "~/rest" stands for LogText(base /
// rest), a trailing '*' matches any rest of the line; unless ordered, the order
// of the lines does not count.
void ExpectLog(std::vector<std::string> actual, std::vector<std::string> expected, const fs::path& base = {},
    bool ordered = false);

// A package made by tests/zipgen/make_zips.py.
fs::path Package(const std::string& name);

// POSIX only: runs body in a child process as uid and gid 65534, so that
// permission bits apply (root ignores them). Every directory below scratch is
// opened to all users first, except `locked`, which others can read but not
// change. True when the child ran and returned normally; it shares open files
// (the log) with the test.
bool RunAsNobody(const fs::path& scratch, const fs::path& locked, const std::function<void()>& body);
// Runs body while the files below `held` cannot be removed or replaced: on POSIX
// through RunAsNobody, on Windows with each file held open without sharing.
bool RunWhileHeld(const fs::path& scratch, const fs::path& held, const std::function<void()>& body);

// Sets an environment variable of this process; none: removes it.
void SetEnvironment(const char* name, const std::optional<std::string>& value);

// Copies the game stand-in into dir as torvane.exe.
void InstallGameStub(const fs::path& dir);
// The record a start from installDir must produce.
std::string ExpectedLaunchRecord(const fs::path& installDir);
