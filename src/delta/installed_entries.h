#pragma once
// The package's entries that the installation holds already, known without
// reading a file: the installed file at the entry's path, under exactly that
// name, is the one that the index of the installed files (or the comparison
// just made) recorded, by its identity as it stands now, with the entry's
// size, CRC-32 and, where both have one, content digest. The whole package
// leaves those files in place; any other file is unpacked.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "delta/differential_update.h"
#include "delta/installed_index.h"
#include "zip/entry_stream.h"

struct InstalledEntries {
    std::filesystem::path installDir;
    IndexBuilder compared;     // the files a comparison read or trusted, tidy, with the identity seen
    bool comparedAll = false;  // that comparison read every installed file of the package's sizes
    InstalledIndex index;      // the index of the installed files, read at the first question
    bool indexRead = false;
    // The names of the last directory looked at, at each depth below the install directory.
    struct Listed {
        std::filesystem::path directory;
        std::unordered_set<std::filesystem::path::string_type> names;
    };
    std::vector<Listed> listed;
    std::optional<bool> foldsCase;  // the install directory's file system takes A and a as one name
    std::uint64_t asked = 0, namesListed = 0;
    std::uint64_t leftInPlace = 0;
    bool updaterLeftInPlace = false;  // the running updater's own file was one of them
};

// Takes the files the comparison read or trusted from the plan, with the identity they had then.
void AddComparedEntries(InstalledEntries& installed, DifferentialPlan& plan);
// Lets go of the index read and of what the comparison found.
void ForgetInstalledEntries(InstalledEntries& installed);

// True when the installed file at `relative` holds the entry already: it is
// counted as left in place. The index is read at the first call.
bool IsInstalledAlready(InstalledEntries& installed, const ZipEntry& entry, const std::filesystem::path& relative);

// IsInstalledAlready as the ZIP layer takes it; `installed` outlives its use.
AlreadyInstalled InstalledCheck(InstalledEntries& installed);
