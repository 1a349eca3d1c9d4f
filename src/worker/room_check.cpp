#include "worker/room_check.h"

#include "base/free_space.h"
#include "base/log.h"

std::wstring MegabytesText(std::uint64_t bytes, bool roundUp) {
    constexpr std::uint64_t kMegabyte = 1024 * 1024;
    const std::wstring digits = std::to_wstring(bytes / kMegabyte + (roundUp && bytes % kMegabyte != 0 ? 1 : 0));
    std::wstring text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += L',';
        text += digits[i];
    }
    return text;
}

bool HasRoomFor(const std::wstring& package, std::uint64_t bytes, const std::filesystem::path& where,
    const std::wstring& volume, const std::wstring& skipped) {
    const std::optional<std::uint64_t> free = FreeBytesOn(where);
    const std::uint64_t needed = bytes + kRoomMargin;
    if (!free || *free >= needed) return true;
    LogLine(package + L" needs " + MegabytesText(needed, true) + L" MB free on " + volume + L" and " +
            MegabytesText(*free, false) + L" MB are free; " + skipped);
    return false;
}
