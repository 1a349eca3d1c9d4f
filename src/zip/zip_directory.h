#pragma once
// The package's central directory read entry by entry, with every check that
// needs no entry data: supported method, no encryption, an offset and sizes
// that fit before the directory, and a safe name. Extraction runs it before
// writing anything; the differential update runs it on the directory fetched
// from the server.

#include <functional>
#include <string>

#include "zip/zip_format.h"
#include "zip/zip_names.h"

// Calls visit(entry, path) for each entry in directory order; visit returns
// false to stop (the result is then false with `why` empty). False with `why`
// naming the entry and the cause when the directory or an entry is refused.
bool ReadZipDirectory(ZipInput& input, const ZipDirectory& directory,
    const std::function<bool(const ZipEntry& entry, const EntryPath& path)>& visit, std::wstring& why);

// Reads and checks entry number `index` (from 0) at `offset`, which then
// moves past it: ReadZipDirectory one step at a time, for a directory that
// arrives in pieces. False with `why` naming the entry and the cause.
bool ReadDirectoryEntry(ZipInput& input, const ZipDirectory& directory, std::uint64_t index, std::uint64_t& offset,
    ZipEntry& entry, EntryPath& path, std::wstring& why);

// How many entries the directory can hold: its count, bounded by its size (each
// entry takes kCentralHeaderFixedSize bytes at least), so that a hostile count
// reserves no more than the directory's bytes could fill.
std::size_t MostEntriesIn(const ZipDirectory& directory);

// The entry's name as the log shows it, in quotes: "entry \"a/b.txt\"".
std::wstring DescribeEntry(const ZipEntry& entry);

// The entry's path, from the Unicode path field or the stored name; false when unsafe.
bool DecodeEntryPath(const ZipEntry& entry, EntryPath& path);
