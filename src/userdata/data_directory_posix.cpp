#include <cstdlib>
#include <fstream>
#include <sstream>

#include "userdata/data_directory.h"

namespace fs = std::filesystem;

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs text: a quoted "$HOME/..."
// or absolute path, backslash escaping the next character; the last such line
// counts. Empty when there is none.
std::string DocumentsFromUserDirs(const std::string& content, const std::string& home) {
    std::istringstream lines(content);
    std::string line, found;
    const std::string key = "XDG_DOCUMENTS_DIR=\"";
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        std::size_t i = start + key.size();
        std::string value;
        if (line.compare(i, 5, "$HOME") == 0) {
            if (home.empty()) continue;
            value = home;
            i += 5;
        } else if (i >= line.size() || line[i] != '/') {
            continue;  // only absolute or $HOME-relative values are meaningful
        }
        for (; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            value += line[i];
        }
        found = value;
    }
    return found;
}

std::string ReadWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    if (in) content << in.rdbuf();
    return content.str();
}

}  // namespace

fs::path FindDocumentsFolder() {
    const std::string home = Environment("HOME");
    if (home.empty()) return {};
    std::string configHome = Environment("XDG_CONFIG_HOME");
    if (configHome.empty() || configHome[0] != '/') configHome = home + "/.config";
    std::string documents = DocumentsFromUserDirs(ReadWholeFile(fs::path(configHome) / "user-dirs.dirs"), home);
    if (documents.empty()) documents = home + "/Documents";
    return fs::path(documents);
}
