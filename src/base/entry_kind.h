#pragma once
// What an entry of a Windows file system is to the updater, from its
// attributes and, for a reparse point, its reparse tag. Only symbolic links and
// junctions (the tags that stand for another name) are links: never followed,
// removed themselves. Every other reparse point, a cloud file's placeholder
// (OneDrive's files on demand), a deduplicated or compressed file, is the file
// or folder it holds: walked, compared and removed like any other.
#include <cstdint>
#include <filesystem>

enum class EntryKind { File, Directory, Link };

inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;
// A reparse point whose tag the system does not tell (Wine's links) counts as
// a link, the safe side.
inline constexpr std::uint32_t kUnknownReparseTag = 0;

EntryKind KindOfEntry(std::uint32_t attributes, std::uint32_t reparseTag);

// The kind of the entry at `path` whose attributes are given; its reparse tag
// is read only when it is a reparse point.
EntryKind KindAt(const std::filesystem::path& path, std::uint32_t attributes);

// Platform part: the reparse tag of the entry at `path` itself (never
// followed, never a placeholder's content fetched); kUnknownReparseTag where
// the system does not tell.
std::uint32_t ReparseTagOf(const std::filesystem::path& path);
