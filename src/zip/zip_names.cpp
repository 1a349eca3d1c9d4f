#include "zip/zip_names.h"

#include <array>

#include "base/ascii_case.h"
#include "base/text.h"

namespace {

// Code page 437 for the bytes 0x80-0xFF; the lower half is ASCII.
constexpr std::array<wchar_t, 128> kCp437High = {
    0x00C7,
    0x00FC,
    0x00E9,
    0x00E2,
    0x00E4,
    0x00E0,
    0x00E5,
    0x00E7,
    0x00EA,
    0x00EB,
    0x00E8,
    0x00EF,
    0x00EE,
    0x00EC,
    0x00C4,
    0x00C5,
    0x00C9,
    0x00E6,
    0x00C6,
    0x00F4,
    0x00F6,
    0x00F2,
    0x00FB,
    0x00F9,
    0x00FF,
    0x00D6,
    0x00DC,
    0x00A2,
    0x00A3,
    0x00A5,
    0x20A7,
    0x0192,
    0x00E1,
    0x00ED,
    0x00F3,
    0x00FA,
    0x00F1,
    0x00D1,
    0x00AA,
    0x00BA,
    0x00BF,
    0x2310,
    0x00AC,
    0x00BD,
    0x00BC,
    0x00A1,
    0x00AB,
    0x00BB,
    0x2591,
    0x2592,
    0x2593,
    0x2502,
    0x2524,
    0x2561,
    0x2562,
    0x2556,
    0x2555,
    0x2563,
    0x2551,
    0x2557,
    0x255D,
    0x255C,
    0x255B,
    0x2510,
    0x2514,
    0x2534,
    0x252C,
    0x251C,
    0x2500,
    0x253C,
    0x255E,
    0x255F,
    0x255A,
    0x2554,
    0x2569,
    0x2566,
    0x2560,
    0x2550,
    0x256C,
    0x2567,
    0x2568,
    0x2564,
    0x2565,
    0x2559,
    0x2558,
    0x2552,
    0x2553,
    0x256B,
    0x256A,
    0x2518,
    0x250C,
    0x2588,
    0x2584,
    0x258C,
    0x2590,
    0x2580,
    0x03B1,
    0x00DF,
    0x0393,
    0x03C0,
    0x03A3,
    0x03C3,
    0x00B5,
    0x03C4,
    0x03A6,
    0x0398,
    0x03A9,
    0x03B4,
    0x221E,
    0x03C6,
    0x03B5,
    0x2229,
    0x2261,
    0x00B1,
    0x2265,
    0x2264,
    0x2320,
    0x2321,
    0x00F7,
    0x2248,
    0x00B0,
    0x2219,
    0x00B7,
    0x221A,
    0x207F,
    0x00B2,
    0x25A0,
    0x00A0,
};

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, also with an extension ("nul.txt")
// or trailing spaces before it: Windows opens the device instead of a file.
bool IsReservedDeviceName(const std::wstring& component) {
    std::wstring_view stem = std::wstring_view(component).substr(0, component.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
    for (std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL"})
        if (EqualsIgnoringAsciiCase(stem, device)) return true;
    bool numbered =
        stem.size() == 4 && (StartsWithIgnoringAsciiCase(stem, L"COM") || StartsWithIgnoringAsciiCase(stem, L"LPT"));
    return numbered && stem[3] >= L'1' && stem[3] <= L'9';
}

bool HasDrivePrefix(const std::wstring& name) {
    return name.size() >= 2 && name[1] == L':' &&
           ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
}

}  // namespace

std::wstring DecodeEntryName(const std::string& bytes, bool utf8) {
    // Valid UTF-8 round-trips unchanged; any invalid byte comes back as U+FFFD.
    std::wstring asUtf8 = Utf8ToWide(bytes);
    if (utf8 || WideToUtf8(asUtf8) == bytes) return asUtf8;
    std::wstring text;
    text.reserve(bytes.size());
    for (char byte : bytes) {
        auto b = static_cast<unsigned char>(byte);
        text += b < 0x80 ? static_cast<wchar_t>(b) : kCp437High[b - 0x80];
    }
    return text;
}

bool IsPortableComponent(const std::wstring& component) {
    for (wchar_t c : component) {
        if (c < 0x20 || c == 0x7F) return false;
        if (std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) return false;
    }
    if (component.back() == L'.' || component.back() == L' ') return false;
    return !IsReservedDeviceName(component);
}

bool SplitEntryName(const std::wstring& name, EntryPath& path) {
    path.components.clear();
    path.isDirectory = false;
    if (name.empty() || IsSeparator(name.front()) || HasDrivePrefix(name)) return false;
    path.isDirectory = IsSeparator(name.back());
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        std::wstring component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == L".") continue;
        if (component == L".." || !IsPortableComponent(component)) return false;
        path.components.push_back(std::move(component));
    }
    // "./" names the destination itself: nothing to create, but harmless.
    return !path.components.empty() || path.isDirectory;
}

std::filesystem::path RelativePathOf(const EntryPath& path) {
    std::filesystem::path relative;
    for (const std::wstring& component : path.components) relative /= WideToPath(component);
    return relative;
}
