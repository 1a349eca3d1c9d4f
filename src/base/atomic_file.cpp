#include "base/atomic_file.h"

#include "base/durable_files.h"
#include "base/file_system.h"

bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes) {
    return WriteFileAtomically(file, {std::string_view(bytes)});
}

namespace {

PieceSource PiecesOf(std::initializer_list<std::string_view> pieces) {
    return [next = pieces.begin(), end = pieces.end()](std::string_view& piece) mutable {
        if (next == end) return false;
        piece = *next++;
        return true;
    };
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces) {
    return WriteFileAtomically(file, PiecesOf(pieces));
}

bool WriteAndFlush(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces) {
    return WriteAndFlush(file, PiecesOf(pieces));
}

bool WriteFileAtomically(const std::filesystem::path& file, const PieceSource& pieces) {
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    if (WriteAndFlush(temporary, pieces) && ReplaceFileWith(temporary, file)) {
        FlushNamesToDisk(file.parent_path());
        return true;
    }
    RemoveQuietly(temporary);
    return false;
}

bool ReplaceFileWith(const std::filesystem::path& finished, const std::filesystem::path& destination) {
    return MoveReplacing(finished, destination) == MoveOutcome::Moved;
}

bool PlaceFile(const std::filesystem::path& source, const std::filesystem::path& destination) {
    const MoveOutcome moved = MoveReplacing(source, destination);
    if (moved != MoveOutcome::OtherVolume) return moved == MoveOutcome::Moved;
    // Another volume is mounted inside the installation: the bytes are copied
    // beside the destination first, so the final step is still a rename.
    std::filesystem::path temporary = destination;
    temporary += kPlacingSuffix;
    RemoveQuietly(temporary);
    if (CopyAndFlush(source, temporary) && ReplaceFileWith(temporary, destination)) return true;
    RemoveQuietly(temporary);
    return false;
}
