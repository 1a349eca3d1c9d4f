#pragma once
// One HTTPS (or HTTP) GET whose body is stored in a file.

#include <filesystem>
#include <string>

// Fetches the URL and stores the body at destination. True only when the final
// response (after redirects) has status 200 and its body arrived complete; the
// destination then holds exactly that body, empty bodies included. False for
// everything else (unparsable URL, host over 255 or path over 2047 characters,
// any other status, a body cut short, a certificate that is not trusted or not
// for the host, a timeout, a disk error), and then the destination is exactly as
// it was before. The body goes to destination + ".part" first and is moved over
// the destination only when complete. Writes nothing to the log.
bool DownloadFile(const std::wstring& url, const std::filesystem::path& destination);
