#include "base/entry_kind.h"

namespace {

// The bit Windows sets in the tags of reparse points that name another entry
// (IsReparseTagNameSurrogate): symbolic links and junctions.
constexpr std::uint32_t kNameSurrogateBit = 0x20000000;

}  // namespace

EntryKind KindOfEntry(std::uint32_t attributes, std::uint32_t reparseTag) {
    const bool link = (attributes & kAttributeReparsePoint) &&
                      (reparseTag == kUnknownReparseTag || (reparseTag & kNameSurrogateBit) != 0);
    if (link) return EntryKind::Link;
    return (attributes & kAttributeDirectory) ? EntryKind::Directory : EntryKind::File;
}

EntryKind KindAt(const std::filesystem::path& path, std::uint32_t attributes) {
    return KindOfEntry(attributes, (attributes & kAttributeReparsePoint) ? ReparseTagOf(path) : kUnknownReparseTag);
}
