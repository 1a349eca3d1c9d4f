#include "net/update_server.h"

#ifndef UPDATER_SERVER_AUTHORITY
#error "UPDATER_SERVER_AUTHORITY is set by the build from UPDATER_SERVER"
#endif

#define UPDATER_WIDEN_(x) L##x
#define UPDATER_WIDEN(x) UPDATER_WIDEN_(x)

std::wstring UpdateServerAuthority() { return UPDATER_WIDEN(UPDATER_SERVER_AUTHORITY); }

std::wstring UpdateServerHost() {
    std::wstring authority = UpdateServerAuthority();
    std::size_t colon = authority.rfind(L':');
    return colon == std::wstring::npos ? authority : authority.substr(0, colon);
}

static std::wstring ServerUrl(const wchar_t* path) { return L"https://" + UpdateServerAuthority() + path; }

std::wstring VersionFileUrl() { return ServerUrl(L"/updates/version.txt"); }
std::wstring UpdatePackageUrl() { return ServerUrl(L"/updates/update.zip"); }
std::wstring MapsPackageUrl() { return ServerUrl(L"/updates/maps.zip"); }
std::wstring UpdaterUserAgent() { return L"TELV-Updater/1.0 (+https://" + UpdateServerHost() + L")"; }
