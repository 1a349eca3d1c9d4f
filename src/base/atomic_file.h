#pragma once
// Files that are either wholly old or wholly new, even when the process or the
// machine stops in the middle of writing them: a finished file is always moved
// over its destination in one step, and what stood there is never written
// through (a link at the destination is replaced itself).
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

// Writes the bytes to a sibling "<name>.tmp", flushes them to the disk, moves
// the sibling over the file and flushes that name to the disk. False (and the file untouched) on failure.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes);
// The same for bytes in pieces, written one after the other (no copy of them all is made).
bool WriteFileAtomically(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces);
// Gives the next piece to write; false once there is none. A piece stays valid until the next call.
using PieceSource = std::function<bool(std::string_view& piece)>;
// The same for pieces made as they are written: a file need not be held whole.
bool WriteFileAtomically(const std::filesystem::path& file, const PieceSource& pieces);

// Puts the source file at the destination in one step: a rename when both lie
// on one volume, otherwise a copy into destination + kPlacingSuffix, flushed to
// the disk and then renamed over the destination. False (the destination as it
// was, no temporary left) when refused: disk full, file in use, a directory in
// the way.
bool PlaceFile(const std::filesystem::path& source, const std::filesystem::path& destination);
// The suffix of PlaceFile's temporary copy beside its destination.
inline constexpr wchar_t kPlacingSuffix[] = L".updater.part";

// Moves a finished file over the destination, replacing it in one step.
bool ReplaceFileWith(const std::filesystem::path& finished, const std::filesystem::path& destination);

// Platform part.
enum class MoveOutcome { Moved, OtherVolume, Refused };
// Renames `from` over `to`. When the platform refuses because of what stands at
// `to` (Windows: the read-only, hidden or system attribute of a regular file,
// or a link or junction), that obstacle is cleared and the rename tried once
// more; a link is put back when that fails. Windows: a file held elsewhere, at
// either end, is waited for a moment (move_retry.h).
MoveOutcome MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Writes the bytes (in pieces, one after the other) and flushes them to the disk.
bool WriteAndFlush(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces);
bool WriteAndFlush(const std::filesystem::path& file, const PieceSource& pieces);
// Copies the source's bytes into a new file `copy` and flushes them to the disk.
bool CopyAndFlush(const std::filesystem::path& source, const std::filesystem::path& copy);
