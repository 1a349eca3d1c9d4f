#include "version/version_file.h"

#include "base/ascii_case.h"
#include "base/atomic_file.h"
#include "base/long_path.h"

#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Longer lines are not version lines; they are skipped whole.
constexpr std::size_t kMaxLineLength = 1024;

void ApplyLine(std::string_view line, VersionInfo& info) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view key = TrimBlanks(line.substr(0, colon));
    const std::string value(TrimBlanks(line.substr(colon + 1)));
    if (EqualsIgnoringAsciiCase(key, "game-version"))
        info.gameVersion = value;
    else if (EqualsIgnoringAsciiCase(key, "updater-version"))
        info.updaterVersion = value;
    else if (EqualsIgnoringAsciiCase(key, "update-sha256"))
        info.updatePackage.sha256 = value;
    else if (EqualsIgnoringAsciiCase(key, "update-size"))
        info.updatePackage.size = value;
    else if (EqualsIgnoringAsciiCase(key, "update-index-sha256"))
        info.updatePackage.indexSha256 = value;
    else if (EqualsIgnoringAsciiCase(key, "maps-sha256"))
        info.mapsPackage.sha256 = value;
    else if (EqualsIgnoringAsciiCase(key, "maps-size"))
        info.mapsPackage.size = value;
}

// A component as the standard string-to-int conversion reads it (blanks, an
// optional sign, digits; no digit is 0), kept as its digit string so that
// numbers of any length compare exactly.
struct Component {
    bool negative = false;
    std::string_view digits;  // no leading zeros; empty for 0
};

Component ReadComponent(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    while (i < text.size() && text[i] == '0') ++i;
    std::size_t end = i;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    std::string_view digits = text.substr(i, end - i);
    return {negative && !digits.empty(), digits};
}

// Without leading zeros a longer digit string is the larger number, and
// strings of one length order like their text.
int CompareMagnitudes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int order = a.compare(b);
    return (order > 0) - (order < 0);
}

int CompareComponents(const Component& a, const Component& b) {
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    int magnitude = CompareMagnitudes(a.digits, b.digits);
    return a.negative ? -magnitude : magnitude;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The file may come from the network: it is read in fixed pieces, and a line
// longer than any version line could be is passed over without being kept, so
// a huge or endless line costs no memory and never reaches the log.
bool ReadVersionFile(const std::filesystem::path& path, VersionInfo& info) {
    std::ifstream in(LongPath(path), std::ios::binary);
    if (!in) return false;
    std::string line;
    bool overlong = false;
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            if (chunk[i] == '\n') {
                if (!overlong) ApplyLine(line, info);
                line.clear();
                overlong = false;
            } else if (!overlong) {
                line += chunk[i];
                overlong = line.size() > kMaxLineLength;
                if (overlong) line.clear();
            }
        }
    }
    if (!overlong) ApplyLine(line, info);
    return true;
}

// The new file replaces the old one in a single step, so an interrupted write
// never leaves a version.txt that claims a version without its other line.
bool WriteVersionFile(const std::filesystem::path& path, const VersionInfo& info) {
    return WriteFileAtomically(
        path, "game-version: " + info.gameVersion + "\r\n" + "updater-version: " + info.updaterVersion + "\r\n");
}

int CompareVersions(const std::string& a, const std::string& b) {
    std::istringstream left(a);
    std::istringstream right(b);
    std::string partA;
    std::string partB;
    while (true) {
        bool hasA = static_cast<bool>(std::getline(left, partA, '.'));
        bool hasB = static_cast<bool>(std::getline(right, partB, '.'));
        if (!hasA) return hasB ? -1 : 0;
        if (!hasB) return 1;
        int order = CompareComponents(ReadComponent(partA), ReadComponent(partB));
        if (order != 0) return order;
    }
}
