#pragma once
// HTTPS (or HTTP) downloads stored in files: one plain attempt, version.txt
// within its time and size limits, and packages that resume and retry.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "integrity/package_check.h"
#include "net/download_watch.h"
#include "net/ranged_transfer.h"

// What a download needs from the world besides the network's answers; tests
// put a clock and an HTTP exchange of their own in.
struct DownloadEnvironment {
    std::function<DownloadClock::time_point()> now;
    std::function<void(DownloadClock::duration)> sleep;
    std::function<double()> random;  // in [0, 1), for the jitter
    HttpGetFunction get;
    // DownloadPackage only: sees each piece of the package once it is stored,
    // at its offset, from byte 0 on (a resumed part's bytes first); a piece at
    // another offset than where the last one ended means the package started again.
    std::function<void(std::uint64_t offset, const char* data, std::size_t size)> stored{};
};
DownloadEnvironment RealDownloadEnvironment();

// One GET whose body is stored at destination. True only when the final
// response (after redirects) has status 200 and its body arrived complete; the
// destination then holds exactly that body, empty bodies included. False for
// everything else (unparsable URL, host over 255 or path over 2047 characters,
// any other status, a body cut short, a certificate that is not trusted or not
// for the host, a timeout, a disk error), and then the destination is exactly as
// it was before. The body goes to destination + ".part" first and is moved over
// the destination only when complete. Writes nothing to the log.
bool DownloadFile(const std::wstring& url, const std::filesystem::path& destination);

// Judges a version.txt that arrived whole at `file` (its signature and
// syntax); false refuses it, after logging why.
using VersionAcceptor = std::function<bool(const std::filesystem::path& file)>;

enum class VersionFetch { Accepted, Refused, Failed };

// DownloadFile for the remote version.txt, asked of each URL (the same file on
// each server) in order: a server that fails, or whose answer is refused (over
// kVersionFileLimit, which is never stored, or by `accept`), passes the turn
// to the next. After the last, failures worth another attempt start another
// round after the usual back-off, as long as all attempts end within
// kVersionFileDeadline. Retries are logged, and a failure with one line that
// names its cause: "<name> cannot be downloaded: <cause>", the refusal or the
// give-up. With more than one server, each failure names its server and the
// accepted file the server it came from ("version.txt came from <authority>").
// Accepted leaves the file at destination; otherwise it is removed.
VersionFetch DownloadVersionFile(const std::vector<std::wstring>& urls, const std::filesystem::path& destination,
    const VersionAcceptor& accept, const DownloadEnvironment& environment = RealDownloadEnvironment());

// The same from one URL, every complete file accepted.
bool DownloadVersionFile(const std::wstring& url, const std::filesystem::path& destination,
    const DownloadEnvironment& environment = RealDownloadEnvironment());

// A package that version.txt describes. The body collects in destination +
// ".part", described by destination + ".resume.part"; an attempt that fails
// is retried from where the part ends (download_limits.h has the rules), each
// retry logged with its reason and byte offset. The whole file's size and
// SHA-256 are checked against `check` (a resumed part is hashed once first);
// a file that differs is not stored and the line "<name> does not match
// version.txt: ..." with the expected and actual values is logged, <name>
// being the URL's file name; when the file began with a part kept from an
// earlier start, it is then fetched whole once more ("<name>: the resumed
// download does not match; starting again from byte 0"), since a power cut can
// keep a part's length without its bytes. An answer of another size than
// `check` names is refused before a byte is stored, and a body without a
// length is cut off at that size. A failure that is not retried logs "<name>
// cannot be downloaded: <cause>". When the download is given up, the part
// stays for the next start unless it cannot be resumed. Progress goes to
// ReportWork in bytes.
//
// Given the package's URL on several servers (in order of preference), a
// failed attempt that is retried goes to the next server, and after the last
// back to the first, with the same back-off and give-up; a checked release
// (`check` names its SHA-256) continues there by range, an unchecked one
// starts again from byte 0. A server whose file is of another size or digest
// than `check` names passes the turn, from byte 0, to the next one; the
// download fails once every server did. The retry lines name the next
// server, and "<name> came from <server>[, then <server>]" the servers of a
// completed file.
//
// With `tail`, the package's last bytes are at hand already (the differential
// update fetched its central directory): only the bytes before them are asked
// for, first from the server the tail came from with the tail's validator as
// If-Range, and the part is completed with the tail before the checks, which
// cover both. Another server's bytes are joined to the tail only for a
// checked release (its SHA-256 covers every byte); an unchecked one drops the
// tail there. An answer of the whole file (it changed) is the download, and
// the tail is not used.
struct HeldTail {
    std::uint64_t from = 0;  // where the tail begins in the package
    std::uint64_t total = 0;
    std::string validator;       // of the answers the tail came from
    std::wstring url;            // the package's URL on the server it came from
    std::filesystem::path file;  // bytes [from, total)
};
bool DownloadPackage(const std::vector<std::wstring>& urls, const std::filesystem::path& destination,
    const PackageCheck& check, const DownloadEnvironment& environment = RealDownloadEnvironment(),
    const HeldTail* tail = nullptr);
bool DownloadPackage(const std::wstring& url, const std::filesystem::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment = RealDownloadEnvironment(), const HeldTail* tail = nullptr);

// DownloadPackage whose first request asks for byte 0 alone, to learn whether
// the server serves ranges without fetching anything twice. A 206 ends it
// at its head (RangesServed): `probed` has the package's size and validator
// and the server that answered, and nothing is stored (a byte whose flush a
// power cut lost would pass for the package's first at the next start). A 200
// is the whole package: once `roomFor` (given the answer's size; 0: none
// named) allows it, it is downloaded as DownloadPackage does (Downloaded or
// Failed), else nothing more is fetched (NoRoom). A failed probe fails over
// as the download does.
enum class PackageProbe { Downloaded, RangesServed, Failed, NoRoom };
struct ProbedPackage {
    std::uint64_t total = 0;
    std::string validator;
    std::wstring url;  // the package's URL on the server that answered
};
PackageProbe ProbePackage(const std::vector<std::wstring>& urls, const std::filesystem::path& destination,
    const PackageCheck& check, const DownloadEnvironment& environment,
    const std::function<bool(std::uint64_t total)>& roomFor, ProbedPackage& probed);

// True when a part that DownloadPackage kept can be continued: of one of these
// URLs and of the release that `check` describes.
bool HasResumablePart(
    const std::vector<std::wstring>& urls, const std::filesystem::path& destination, const PackageCheck& check);

// Removes what a given-up DownloadPackage kept for the next start.
void DiscardPartialDownload(const std::filesystem::path& destination);
