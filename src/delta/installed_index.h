#pragma once
// The index of the installed files: after each update, the updater records
// for every file of the release its relative path, identity (size, both
// times, volume and file id: base/file_identity.h), CRC-32 and, where the
// package carries one, content digest, in the working file
// kInstalledIndexName of the install directory. The next comparison trusts a
// file whose identity equals its record and reads every other one.
//
// The file, little-endian: a header of 32 bytes ("UPDINDEX", the format
// version 1, the record count, the size of the name block, the CRC-32 of all
// that follows the header, 4 bytes of zero), the records of 88 bytes sorted by
// name (size, modified, changed, volume, id: 8 bytes each; CRC-32, the name's
// offset in the name block, its length, flags (1: a digest follows): 4 bytes
// each; the digest's 32 bytes, zero when none), then the name block: the
// relative paths in UTF-8 with the platform's separator. A file that breaks
// any of this, or is larger than kInstalledIndexLimit, is not an index.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/atomic_file.h"
#include "base/file_identity.h"

// About 500,000 files; a larger (or damaged, or hostile) file is not read.
inline constexpr std::uint64_t kInstalledIndexLimit = 64ull * 1024 * 1024;

// The index as read and checked, looked up in place: its records and names
// are read from the file a block at a time as they are asked for; only the
// first name of each block is held, to find the block. The file stays open
// while the index is held: on Windows it cannot be replaced meanwhile.
struct InstalledIndex {
    std::uint32_t count = 0;
    std::uint64_t namesAt = 0;  // where the name block begins in the file
    std::uint64_t namesSize = 0;
    std::vector<std::string> blockFirst;
    mutable std::ifstream in;
    mutable std::string block;  // the records of the block last read
    mutable std::uint32_t blockRead = UINT32_MAX;
    mutable std::string window;  // names read ahead, from windowAt on
    mutable std::uint64_t windowAt = 0;
};

// Reads and checks the installation's index. False, with the index empty, when
// there is none (`why` empty) or it is no index (`why` says why).
bool ReadInstalledIndex(const std::filesystem::path& installDir, InstalledIndex& index, std::wstring& why);

// What the record says of the file's content: its CRC-32 and digest (32 bytes, empty when none).
struct TrustedContent {
    std::uint32_t crc = 0;
    std::string digest;
};
// The record of the file at `relative` when its identity equals `identity`; none otherwise.
std::optional<TrustedContent> TrustedContentOf(
    const InstalledIndex& index, const std::filesystem::path& relative, const FileIdentity& identity);
// Its CRC-32 only.
std::optional<std::uint32_t> TrustedCrc(
    const InstalledIndex& index, const std::filesystem::path& relative, const FileIdentity& identity);

// The records of a new index, gathered one file at a time: 56 bytes each,
// the name (and the digest, when there is one, right after it) in one block.
struct IndexRecord {
    FileIdentity identity;
    std::uint32_t crc = 0;
    std::uint32_t nameOffset = 0;
    std::uint32_t nameLength = 0;
    std::uint32_t flags = 0;
};
struct IndexBuilder {
    std::vector<IndexRecord> records;
    std::string names;
};

// Adds the file at `relative` (below the install directory) with its CRC-32
// and digest (32 bytes or empty). With `seen`, the identity it had when it was
// read: it is recorded only if it still has it when the index is written.
void AddToIndex(IndexBuilder& builder, const std::filesystem::path& relative, std::uint32_t crc,
    const std::string& digest, const FileIdentity* seen = nullptr);

// Adds the file whose relative path lies at [at, at + length) of a block of
// native paths given later to NameIndexRecords, so that no copy of it is held
// meanwhile; `seen` as for AddToIndex.
void AddUnnamedToIndex(
    IndexBuilder& builder, std::uint32_t at, std::uint32_t length, std::uint32_t crc, const FileIdentity& seen);
// Gives the records added unnamed their names from that block.
void NameIndexRecords(IndexBuilder& builder, std::basic_string_view<std::filesystem::path::value_type> block);

// Leaves out the records at these positions (counted in the order they were added).
void DropIndexRecords(IndexBuilder& builder, const std::vector<std::uint32_t>& positions);

// Takes each file's identity as it stands now, leaving out those that are
// missing, no regular file, or changed since they were seen.
void IdentifyFiles(IndexBuilder& builder, const std::filesystem::path& installDir);

// Leaves out every record that shares its name or its file with another, and
// sorts the rest by name, as the index holds them.
void TidyIndex(IndexBuilder& builder);

// The record of the file at `relative` in a tidy builder when its identity
// equals `identity` (the one seen); none otherwise.
std::optional<TrustedContent> TrustedContentOf(
    const IndexBuilder& builder, const std::filesystem::path& relative, const FileIdentity& identity);

// The index's bytes, tidied first: the header, then the records and the names
// a piece at a time, so that the index is never held whole.
PieceSource IndexPieces(IndexBuilder& builder);
// Identifies the files and writes the index durably (atomic_file.h); false
// when it could not be written.
bool WriteInstalledIndex(const std::filesystem::path& installDir, IndexBuilder& builder);
