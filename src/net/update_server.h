#pragma once
// What is fixed about the update server: its three URLs and the User-Agent,
// all built from the authority the program was configured with.

#include <string>

std::wstring UpdateServerAuthority();  // "host" or "host:port"
std::wstring UpdateServerHost();       // the authority without its port
std::wstring VersionFileUrl();         // https://<authority>/updates/version.txt
std::wstring UpdatePackageUrl();       // https://<authority>/updates/update.zip
std::wstring MapsPackageUrl();         // https://<authority>/updates/maps.zip
std::wstring UpdaterUserAgent();       // TELV-Updater/1.0 (+https://<host>)
