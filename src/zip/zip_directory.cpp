#include "zip/zip_directory.h"

#include <algorithm>

#include "base/text.h"

namespace {

std::wstring DecodedName(const ZipEntry& entry) {
    return entry.unicodeName.empty() ? DecodeEntryName(entry.name, entry.flags & kFlagUtf8Name)
                                     : Utf8ToWide(entry.unicodeName);
}

// Empty when the entry passes.
std::wstring RefusalOf(const ZipEntry& entry, const ZipDirectory& directory, EntryPath& path) {
    if (entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) return L"it is encrypted";
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        return L"unsupported compression method " + std::to_wstring(entry.method);
    if (!SplitEntryName(DecodedName(entry), path)) return L"its name is not a safe relative path";
    if (entry.localOffset > directory.offset || entry.compressedSize > directory.offset - entry.localOffset)
        return L"its offset and size lie outside the package's data";
    if (entry.method == kMethodStored && entry.compressedSize != entry.uncompressedSize)
        return L"stored with two different sizes";
    return {};
}

}  // namespace

// Control characters (a NUL in a hostile name) are shown as '?'.
std::wstring DescribeEntry(const ZipEntry& entry) {
    std::wstring name = DecodedName(entry);
    std::replace_if(
        name.begin(), name.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }, L'?');
    return L"entry \"" + name + L"\"";
}

bool DecodeEntryPath(const ZipEntry& entry, EntryPath& path) { return SplitEntryName(DecodedName(entry), path); }

bool ReadDirectoryEntry(ZipInput& input, const ZipDirectory& directory, std::uint64_t index, std::uint64_t& offset,
    ZipEntry& entry, EntryPath& path, std::wstring& why) {
    if (!ReadCentralEntry(input, offset, directory.offset + directory.size, entry, offset)) {
        why = L"central directory record " + std::to_wstring(index + 1) + L" is damaged";
        return false;
    }
    const std::wstring refusal = RefusalOf(entry, directory, path);
    if (refusal.empty()) return true;
    why = DescribeEntry(entry) + L": " + refusal;
    return false;
}

std::size_t MostEntriesIn(const ZipDirectory& directory) {
    return static_cast<std::size_t>(std::min(directory.entryCount, directory.size / kCentralHeaderFixedSize));
}

bool ReadZipDirectory(ZipInput& input, const ZipDirectory& directory,
    const std::function<bool(const ZipEntry&, const EntryPath&)>& visit, std::wstring& why) {
    why.clear();
    std::uint64_t offset = directory.offset;
    const std::uint64_t limit = directory.offset + directory.size;
    ZipEntry entry;
    EntryPath path;
    for (std::uint64_t i = 0; i < directory.entryCount; ++i) {
        if (!ReadDirectoryEntry(input, directory, i, offset, entry, path, why)) return false;
        if (!visit(entry, path)) return false;
    }
    if (offset == limit) return true;
    why = L"the central directory holds more than its " + std::to_wstring(directory.entryCount) + L" entries";
    return false;
}
