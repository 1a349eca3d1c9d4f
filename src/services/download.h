#pragma once
// One HTTPS (or HTTP) GET whose body is stored in a file.

#include <filesystem>
#include <string>

#include "services/package_check.h"

// Fetches the URL and stores the body at destination. True only when the final
// response (after redirects) has status 200 and its body arrived complete; the
// destination then holds exactly that body, empty bodies included. False for
// everything else (unparsable URL, host over 255 or path over 2047 characters,
// any other status, a body cut short, a certificate that is not trusted or not
// for the host, a timeout, a disk error), and then the destination is exactly as
// it was before. The body goes to destination + ".part" first and is moved over
// the destination only when complete. Writes nothing to the log.
bool DownloadFile(const std::wstring& url, const std::filesystem::path& destination);

// DownloadFile for a package that version.txt describes: the body's size and
// SHA-256 are taken while it arrives, and a body that differs from `check` is
// not stored either (false); then the line "<name> does not match version.txt:
// ..." with the expected and actual values is logged, <name> being the URL's
// file name.
bool DownloadPackage(const std::wstring& url, const std::filesystem::path& destination, const PackageCheck& check);
