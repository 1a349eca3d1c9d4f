#include "base/long_path.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Where the part below the root begins: after "C:\", or after "\\server\share\"
// (the two names included); 0 for a path that is not absolute.
std::size_t RootLength(const std::wstring& text) {
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') return 3;
    if (text.size() < 3 || !StartsWith(text, L"\\\\") || text[2] == L'\\') return 0;
    std::size_t server = text.find(L'\\', 2);
    if (server == std::wstring::npos) return 0;
    std::size_t share = text.find(L'\\', server + 1);
    return share == std::wstring::npos ? text.size() : share + 1;
}

// Empty names and "." go, ".." takes the name before it away (never the root),
// as the system does for an ordinary path.
std::wstring NormalBelowRoot(const std::wstring& rest) {
    std::vector<std::wstring> names;
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = std::min(rest.find(L'\\', start), rest.size());
        const std::wstring name = rest.substr(start, end - start);
        if (name == L"..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != L".") {
            names.push_back(name);
        }
        start = end + 1;
    }
    std::wstring joined;
    for (const auto& name : names) joined += (joined.empty() ? L"" : L"\\") + name;
    return joined;
}

}  // namespace

std::filesystem::path LongPath(const std::filesystem::path& path) {
    std::wstring text = path.native();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (StartsWith(text, L"\\\\?\\") || StartsWith(text, L"\\\\.\\")) return path;
    const std::size_t root = RootLength(text);
    if (root == 0) return path;
    std::wstring rootText = text.substr(0, root);
    if (rootText.back() != L'\\') rootText += L'\\';
    const std::wstring below = NormalBelowRoot(text.substr(root));
    return rootText[1] == L':' ? L"\\\\?\\" + rootText + below : L"\\\\?\\UNC\\" + rootText.substr(2) + below;
}
