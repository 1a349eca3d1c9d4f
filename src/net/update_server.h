#pragma once
// What is fixed about the update servers: the authorities the program was
// configured with (UPDATER_SERVER, one or several separated by commas, in
// order of preference), each file's URL on every one of them, and the
// User-Agent, which names the first host. Which server serves the next
// attempt is the downloads' matter (download.h): the stages above hand them
// the whole list and never pick a host.

#include <string>
#include <vector>

// "host" or "host:port" entries of a comma-separated list, blanks around
// them dropped, empty ones skipped.
std::vector<std::wstring> ParseServerList(const std::wstring& list);

std::vector<std::wstring> UpdateServerAuthorities();  // in order of preference
std::wstring UpdateServerAuthority();                 // the first
std::wstring UpdateServerHost();                      // the first authority without its port

// https://<authority>/updates/<file> on every server, in order of preference;
// the packages' lists begin with the server that served version.txt.
std::vector<std::wstring> VersionFileUrls();    // version.txt
std::vector<std::wstring> UpdatePackageUrls();  // update.zip
std::vector<std::wstring> MapsPackageUrls();    // maps.zip

// The server that served version.txt is asked first for the packages of this
// start: one that is down or full is not waited for again for every file.
void PreferServerForPackages(const std::wstring& authority);

// The URLs with the one on `authority` moved to the front, the others in their order.
std::vector<std::wstring> PreferringServer(std::vector<std::wstring> urls, const std::wstring& authority);
std::wstring UpdaterUserAgent();  // TELV-Updater/1.0 (+https://<first host>)

// The authority of a URL ("host:port" of https://host:port/path), for the log.
std::wstring ServerOf(const std::wstring& url);
