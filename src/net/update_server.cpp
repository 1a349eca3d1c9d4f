#include "net/update_server.h"

#include <algorithm>
#include <mutex>

#ifndef UPDATER_SERVER_AUTHORITY
#error "UPDATER_SERVER_AUTHORITY is set by the build from UPDATER_SERVER"
#endif

#define UPDATER_WIDEN_(x) L##x
#define UPDATER_WIDEN(x) UPDATER_WIDEN_(x)

std::vector<std::wstring> ParseServerList(const std::wstring& list) {
    std::vector<std::wstring> servers;
    for (std::size_t from = 0; from <= list.size();) {
        std::size_t comma = list.find(L',', from);
        if (comma == std::wstring::npos) comma = list.size();
        const std::wstring item = list.substr(from, comma - from);
        const std::size_t first = item.find_first_not_of(L" \t");
        if (first != std::wstring::npos)
            servers.push_back(item.substr(first, item.find_last_not_of(L" \t") - first + 1));
        from = comma + 1;
    }
    return servers;
}

std::vector<std::wstring> UpdateServerAuthorities() {
    static const std::vector<std::wstring> servers = ParseServerList(UPDATER_WIDEN(UPDATER_SERVER_AUTHORITY));
    return servers;
}

std::wstring UpdateServerAuthority() {
    const auto servers = UpdateServerAuthorities();
    return servers.empty() ? std::wstring() : servers.front();
}

std::wstring UpdateServerHost() {
    std::wstring authority = UpdateServerAuthority();
    std::size_t colon = authority.rfind(L':');
    return colon == std::wstring::npos ? authority : authority.substr(0, colon);
}

static std::vector<std::wstring> ServerUrls(const wchar_t* path) {
    std::vector<std::wstring> urls;
    for (const auto& authority : UpdateServerAuthorities()) urls.push_back(L"https://" + authority + path);
    return urls;
}

namespace {
std::mutex g_packageServerLock;
std::wstring g_packageServer;  // the authority that served version.txt; empty: none yet
}  // namespace

void PreferServerForPackages(const std::wstring& authority) {
    std::lock_guard<std::mutex> lock(g_packageServerLock);
    g_packageServer = authority;
}

std::vector<std::wstring> PreferringServer(std::vector<std::wstring> urls, const std::wstring& authority) {
    const auto preferred =
        std::find_if(urls.begin(), urls.end(), [&](const std::wstring& url) { return ServerOf(url) == authority; });
    if (preferred != urls.end()) std::rotate(urls.begin(), preferred, preferred + 1);
    return urls;
}

static std::vector<std::wstring> PackageUrls(const wchar_t* path) {
    std::lock_guard<std::mutex> lock(g_packageServerLock);
    return PreferringServer(ServerUrls(path), g_packageServer);
}

std::vector<std::wstring> VersionFileUrls() { return ServerUrls(L"/updates/version.txt"); }
std::vector<std::wstring> UpdatePackageUrls() { return PackageUrls(L"/updates/update.zip"); }
std::vector<std::wstring> MapsPackageUrls() { return PackageUrls(L"/updates/maps.zip"); }
std::wstring UpdaterUserAgent() { return L"TELV-Updater/1.0 (+https://" + UpdateServerHost() + L")"; }

std::wstring ServerOf(const std::wstring& url) {
    const std::size_t scheme = url.find(L"://");
    const std::size_t from = scheme == std::wstring::npos ? 0 : scheme + 3;
    return url.substr(from, url.find(L'/', from) - from);
}
