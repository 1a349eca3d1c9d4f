#include "release/release_options.h"

#include <map>
#include <string_view>

namespace {

// A version is one line of printable text without blanks at its ends, since
// version.txt lines are trimmed when read.
bool IsUsableVersion(const std::string& version) {
    if (version.empty() || version.front() == ' ' || version.back() == ' ') return false;
    for (char c : version)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

bool ParseReleaseOptions(int argc, char** argv, ReleaseOptions& options, std::string& error) {
    std::map<std::string_view, std::string> values;
    for (int i = 1; i < argc; i += 2) {
        std::string_view name = argv[i];
        if (name != "--game-dir" && name != "--maps-dir" && name != "--out" && name != "--sign-key" &&
            name != "--key-passphrase-file" && name != "--game-version" && name != "--updater-version") {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (i + 1 >= argc || values.contains(name)) {
            error = std::string(name) + (i + 1 >= argc ? " needs a value" : " is given twice");
            return false;
        }
        values[name] = argv[i + 1];
    }
    for (std::string_view required : {"--game-dir", "--maps-dir", "--game-version", "--updater-version", "--out"}) {
        if (!values.contains(required)) {
            error = "missing " + std::string(required);
            return false;
        }
    }
    options = {values["--game-dir"], values["--maps-dir"], values["--out"], values["--sign-key"],
        values["--key-passphrase-file"], values["--game-version"], values["--updater-version"]};
    if (!options.passphraseFile.empty() && options.signKey.empty()) {
        error = "--key-passphrase-file goes with --sign-key";
        return false;
    }
    if (!IsUsableVersion(options.gameVersion) || !IsUsableVersion(options.updaterVersion)) {
        error = "a version must be one line of printable text without blanks at its ends";
        return false;
    }
    return true;
}
