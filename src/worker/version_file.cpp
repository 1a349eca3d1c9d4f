#include "worker/version_file.h"

#include "services/atomic_file.h"

#include <climits>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Longer lines are not version lines; they are skipped whole.
constexpr std::size_t kMaxLineLength = 1024;

std::string Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void ApplyLine(std::string_view line, VersionInfo& info) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    std::string key = Trim(line.substr(0, colon));
    std::string value = Trim(line.substr(colon + 1));
    if (EqualsIgnoringAsciiCase(key, "game-version"))
        info.gameVersion = value;
    else if (EqualsIgnoringAsciiCase(key, "updater-version"))
        info.updaterVersion = value;
    else if (EqualsIgnoringAsciiCase(key, "update-sha256"))
        info.updatePackage.sha256 = value;
    else if (EqualsIgnoringAsciiCase(key, "update-size"))
        info.updatePackage.size = value;
    else if (EqualsIgnoringAsciiCase(key, "maps-sha256"))
        info.mapsPackage.sha256 = value;
    else if (EqualsIgnoringAsciiCase(key, "maps-size"))
        info.mapsPackage.size = value;
}

// A component as the standard string-to-int conversion reads it: blanks, an
// optional sign, digits. No digit gives 0; values past 32 bits are clamped.
long long ComponentValue(std::string_view component) {
    std::size_t i = 0;
    while (i < component.size() && (component[i] == ' ' || (component[i] >= '\t' && component[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < component.size() && (component[i] == '+' || component[i] == '-')) negative = component[i++] == '-';
    long long value = 0;
    for (; i < component.size() && component[i] >= '0' && component[i] <= '9'; ++i) {
        value = value * 10 + (component[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return value;
}

}  // namespace

// The file may come from the network: it is read in fixed pieces, and a line
// longer than any version line could be is passed over without being kept, so
// a huge or endless line costs no memory and never reaches the log.
bool ReadVersionFile(const std::filesystem::path& path, VersionInfo& info) {
    std::ifstream in(path, std::ios::binary);
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
    return WriteFileAtomically(path, "game-version: " + info.gameVersion + "\r\n" +
                                         "updater-version: " + info.updaterVersion + "\r\n");
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
        long long x = ComponentValue(partA);
        long long y = ComponentValue(partB);
        if (x != y) return x < y ? -1 : 1;
    }
}
