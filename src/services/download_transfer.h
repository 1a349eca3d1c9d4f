#pragma once
// The platform half of DownloadFile: the HTTP exchange and the final move.

#include <filesystem>
#include <string>

#include "services/package_check.h"

// Limits shared by both HTTP clients; they equal WinHTTP's documented defaults
// on Windows, which Wine does not apply to the wait for response headers.
inline constexpr unsigned long kConnectTimeoutMs = 60000;
inline constexpr unsigned long kSendTimeoutMs = 30000;
inline constexpr unsigned long kReceiveTimeoutMs = 30000;          // no byte received for this long
inline constexpr unsigned long kReceiveResponseTimeoutMs = 90000;  // request sent, no response headers yet

// Longest host name and path that a URL may carry; longer ones are refused
// before any traffic.
inline constexpr std::size_t kMaxHostLength = 255;
inline constexpr std::size_t kMaxPathLength = 2047;

// Performs the GET and, only for a final status 200, creates partialFile and
// streams the body into it. True when the body is complete and the file closed
// cleanly. Every stored byte also goes through `tally`. On false, partialFile
// may exist with part of the body; the caller removes it.
bool TransferToFile(const std::wstring& url, const std::filesystem::path& partialFile, BodyTally& tally);
