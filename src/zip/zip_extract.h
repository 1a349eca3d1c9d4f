#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>

#include "zip/package_stream.h"
#include "zip/zip_names.h"

// Unpacks the ZIP package into the existing destination directory, replacing
// files of the same name without asking; complete, and flushed to the disk,
// when it returns. A file entry that `installed` accepts is not unpacked
// (nor its content checked) unless an earlier entry of its name was. False when
// the destination is missing, the package cannot be read, any entry name
// would leave the destination (then nothing is written), or the package is
// damaged (what was written stays inside the destination).
bool ExtractZip(const std::filesystem::path& package, const std::filesystem::path& destination,
    const AlreadyInstalled& installed = {});

// Reads every entry as ExtractZip would (names, ranges, sizes, CRC-32) but
// writes nothing (and logs nothing); `visit`, when given, receives each file
// entry's path and size. False for a package that ExtractZip would refuse or
// fail on.
bool CheckZip(const std::filesystem::path& package,
    const std::function<void(const EntryPath& path, std::uint64_t size)>& visit = {});

// What was unpacked into the destination while the package arrived
// (package_stream.h), taken as its extraction. Unpacked by a directory read
// and checked before, it is whole once every entry of that directory was;
// otherwise once the whole package agrees with it: every entry of the central directory and no other, at the offsets
// unpacked (or left in place), with the same name, sizes and CRC-32 in its local header. Then the
// Unix modes are applied, the package's content is dropped (it is needed no
// more: see DropFileContent) and the files flushed as ExtractZip does. False, with
// a log line that says why, otherwise: the destination is then to be emptied
// and the package extracted with ExtractZip.
bool AdoptStreamedZip(
    const std::filesystem::path& package, const std::filesystem::path& destination, const StreamedEntries& streamed);
