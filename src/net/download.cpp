#include "net/download.h"

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <memory>
#include <random>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/atomic_file.h"
#include "base/decimal.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "net/download_limits.h"
#include "net/resume_record.h"
#include "net/retry_policy.h"
#include "net/update_server.h"

namespace fs = std::filesystem;

namespace {

// The body is collected beside the destination, in the same directory, so that
// the final move is a rename on the same volume. The record's name also ends
// in ".part", which the delete phase spares.
fs::path Sibling(const fs::path& destination, const char* suffix) {
    fs::path sibling = destination;
    sibling += suffix;
    return sibling;
}
fs::path PartialFileFor(const fs::path& destination) { return Sibling(destination, ".part"); }
fs::path ResumeRecordFor(const fs::path& destination) { return Sibling(destination, ".resume.part"); }

std::wstring FileNameOf(const std::wstring& url) { return url.substr(url.rfind(L'/') + 1); }

// -- packages -------------------------------------------------------------------

struct PackageDownload {
    std::vector<std::wstring> urls;  // the same file on each server, in order of preference
    std::size_t server = 0;          // the one the next attempt asks
    std::wstring url;                // its URL
    std::wstring name;
    fs::path destination;
    fs::path partial;
    fs::path record;
    const PackageCheck& check;
    const DownloadEnvironment& environment;
    std::string release;  // what version.txt said of the package
    std::optional<std::uint64_t> declaredSize{};
    // What the part holds.
    std::uint64_t offset = 0;
    std::string validator{};
    std::optional<std::uint64_t> total{};
    BodyTally tally{};
    RetryPolicy retry{};
    bool keptBytes = false;              // the part began with bytes an earlier start stored
    std::size_t checkFailures = 0;       // servers whose whole file was of another release
    std::vector<std::size_t> sources{};  // the servers the part's bytes came from, in order
    const HeldTail* tail = nullptr;      // until an answer of the whole file makes it useless
    std::size_t tailServer = 0;
    // ProbePackage: byte 0 alone is asked until an answer says whether ranges are served.
    bool probing = false;
    bool rangesServed = false;
    std::function<bool(std::uint64_t)> roomFor{};
    bool noRoom = false;
};

bool Several(const PackageDownload& download) { return download.urls.size() > 1; }

void UseServer(PackageDownload& download, std::size_t server) {
    download.server = server;
    download.url = download.urls[server];
}

std::string ReleaseOf(const PackageCheck& check) {
    std::string digest = check.sha256.value_or("");
    std::transform(
        digest.begin(), digest.end(), digest.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return digest + " " + check.size.value_or("");
}

std::optional<std::uint64_t> DeclaredSize(const PackageCheck& check) {
    std::uint64_t size = 0;
    if (!check.size || !ParseDecimal(*check.size, size)) return std::nullopt;
    return size;
}

// The held tail goes too: it belongs to the file that the part held.
void DiscardPart(PackageDownload& download) {
    download.tail = nullptr;
    RemoveQuietly(download.record);
    RemoveQuietly(download.partial);
    download.offset = 0;
    download.validator.clear();
    download.total.reset();
    download.tally = StartTally(download.check);
}

// The part's first bytes go into the size and hash, read once, and to whoever sees what is stored.
bool TallyExistingPart(PackageDownload& download) {
    const auto& stored = download.environment.stored;
    if (!download.tally.hashing && !stored) {
        download.tally.size = download.offset;
        return true;
    }
    std::ifstream in(LongPath(download.partial), std::ios::binary);
    std::vector<char> buffer(256 * 1024);
    for (std::uint64_t left = download.offset; left > 0;) {
        const auto piece = static_cast<std::streamsize>(std::min<std::uint64_t>(left, buffer.size()));
        if (!in.read(buffer.data(), piece)) return false;
        TallyBody(download.tally, buffer.data(), static_cast<std::size_t>(piece));
        if (stored) stored(download.offset - left, buffer.data(), static_cast<std::size_t>(piece));
        left -= static_cast<std::uint64_t>(piece);
    }
    return true;
}

// A part continues only under a complete record of the same URL and release;
// anything else starts from byte 0.
void ResumeOrStartFromZero(PackageDownload& download) {
    std::error_code ec;
    const std::uint64_t partSize = FileSize(download.partial, ec);
    ResumeRecord record;
    const bool usable = HasResumablePart(download.urls, download.destination, download.check) &&
                        ReadResumeRecord(download.record, record);
    for (std::size_t server = 0; usable && server < download.urls.size(); ++server)
        if (WideToUtf8(download.urls[server]) == record.url) UseServer(download, server);
    if (!usable) {
        if (!ec) LogLine(download.name + L": the partial download cannot be continued; starting from byte 0");
        DiscardPart(download);
        return;
    }
    // A part that looks complete still asks for its last byte: the answer
    // confirms that the server's file is the same.
    download.offset = std::min(partSize, record.total - 1);
    download.validator = record.validator;
    download.total = record.total;
    download.tally = StartTally(download.check);
    if (!TallyExistingPart(download)) {
        DiscardPart(download);
        return;
    }
    download.keptBytes = true;
    download.sources = {download.server};
    LogLine(download.name + L": resuming at byte " + std::to_wstring(download.offset) + L" of " +
            std::to_wstring(record.total));
}

// The answer is accepted and the part cut where it begins. A new file from
// byte 0 gets a new record before its first byte is written.
bool BeginStoring(PackageDownload& download, const RangeResult& answer) {
    if (answer.status == 200) download.tail = nullptr;
    if (std::exchange(download.probing, false)) {
        // A range says enough: nothing is stored, no part a power cut could spoil.
        download.rangesServed = answer.status == 206;
        download.total = answer.total;
        download.validator = answer.validator;
        if (download.rangesServed) return false;
        if (download.roomFor && !download.roomFor(answer.total.value_or(0))) {
            download.noRoom = true;
            return false;
        }
    }
    if (answer.from == 0) {
        if (download.offset > 0) {
            LogLine(download.name + L": " + answer.detail + L" at byte " + std::to_wstring(download.offset) +
                    L"; starting again from byte 0");
            ++download.retry.watch.restarts;
        }
        download.tally = StartTally(download.check);
        download.keptBytes = false;
        download.sources.clear();
        const bool resumable = !answer.validator.empty() && answer.total.value_or(0) > 0;
        if (!resumable || !WriteResumeRecord(download.record,
                              {WideToUtf8(download.url), *answer.total, answer.validator, download.release}))
            RemoveQuietly(download.record);
    }
    if (download.sources.empty() || download.sources.back() != download.server)
        download.sources.push_back(download.server);
    download.offset = answer.from;
    download.validator = answer.validator;
    download.total = answer.total;
    ReportWork(download.offset, download.total.value_or(0));
    return true;
}

RangeResult Attempt(PackageDownload& download) {
    const DownloadEnvironment& environment = download.environment;
    RangeRequest request;
    request.url = download.url;
    request.from = download.offset;
    if (download.tail) request.to = download.tail->from;
    if (download.probing) request.to = 1;
    request.validator = download.validator;
    request.total = download.total;
    request.declaredSize = download.declaredSize;
    request.wholeBodyRestarts = true;
    // Before the answer's head no byte can arrive, so no progress: the wait for
    // it ends when the download would be given up.
    request.headDeadline = download.retry.watch.lastProgress + kLongestWithoutProgress;
    RangeHooks hooks;
    hooks.start = [&](const RangeResult& answer) { return BeginStoring(download, answer); };
    hooks.body = [&](const char* data, std::size_t size) {
        TallyBody(download.tally, data, size);
        if (environment.stored) environment.stored(download.offset, data, size);
        download.offset += size;
        NoteRetryProgress(download.retry, environment, size);
        ReportWork(download.offset, download.total.value_or(0));
        return true;
    };
    hooks.keepGoing = [&] { return AttemptMayGoOn(download.retry, environment); };
    return FetchRange(request, download.partial, hooks, environment.get);
}

// The servers the file's bytes came from, in order.
std::wstring SourcesText(const PackageDownload& download) {
    std::wstring text;
    for (std::size_t source : download.sources)
        text += (text.empty() ? L"" : L", then ") + ServerOf(download.urls[source]);
    return text;
}

// A server whose whole file is not the release version.txt names (its copy
// lags behind) passes the turn, from byte 0, to the next one; false once every
// server failed so.
bool NextServerAfterWrongFile(PackageDownload& download) {
    if (!Several(download) || ++download.checkFailures >= download.urls.size()) return false;
    const std::size_t next = (download.server + 1) % download.urls.size();
    LogLine(download.name + L" from " + ServerOf(download.url) + L" is not the release version.txt names; asking " +
            ServerOf(download.urls[next]));
    DiscardPart(download);
    UseServer(download, next);
    return true;
}

// Another server takes over a failed transfer. A checked release continues
// there by range (every byte is checked in the end); an unchecked one starts
// again from byte 0, so that the bytes of two servers are never spliced unchecked.
// A held tail stays only for a checked release, likewise.
void MoveToServer(PackageDownload& download, std::size_t next) {
    if (next == download.server) return;
    UseServer(download, next);
    if (download.offset == 0 && !download.tail) return;
    if (download.check.sha256) {
        download.validator.clear();  // another server's validator proves nothing here
        return;
    }
    if (download.offset > 0)
        LogLine(
            download.name + L": an unchecked release is not continued from another server; starting again from byte 0");
    DiscardPart(download);
}

bool Finish(PackageDownload& download) {
    const std::wstring mismatch = DescribeMismatch(download.check, download.tally);
    if (!mismatch.empty()) LogLine(download.name + L" does not match version.txt: " + mismatch);
    if (mismatch.empty() && ReplaceFileWith(download.partial, download.destination)) {
        RemoveQuietly(download.record);
        if (Several(download)) LogLine(download.name + L" came from " + SourcesText(download));
        return true;
    }
    DiscardPart(download);
    return false;
}

// Appends the held tail to a part that holds every byte before it, as if it had arrived.
bool AppendHeldTail(PackageDownload& download) {
    std::ifstream in(LongPath(download.tail->file), std::ios::binary);
    std::ofstream out(LongPath(download.partial), std::ios::binary | std::ios::app);
    std::vector<char> buffer(256 * 1024);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        if (!out.write(buffer.data(), static_cast<std::streamsize>(got))) return false;
        TallyBody(download.tally, buffer.data(), got);
        if (download.environment.stored) download.environment.stored(download.offset, buffer.data(), got);
        download.offset += got;
        ReportWork(download.offset, download.tail->total);
    }
    if (download.sources.empty() || download.sources.back() != download.tailServer)
        download.sources.push_back(download.tailServer);
    out.close();
    return in.eof() && !in.bad() && out && download.offset == download.tail->total;
}

// The part stays for the next start when a record says what it is.
void Abandon(PackageDownload& download) {
    std::error_code ec;
    if (download.offset == 0 || !fs::exists(TargetStatus(download.record, ec))) DiscardPart(download);
}

void StartAgain(PackageDownload& download, const std::wstring& why) {
    LogLine(download.name + L": " + why + L" at byte " + std::to_wstring(download.offset) +
            L"; starting again from byte 0");
    DiscardPart(download);
    ++download.retry.watch.restarts;
}

// After a failed attempt: waits and gives true when another attempt follows;
// false when the download is over.
bool PrepareRetry(PackageDownload& download, const RangeResult& result) {
    const std::uint64_t offset = download.offset;
    if (result.end == RangeEnd::WrongSize || result.end == RangeEnd::TooLarge) {
        LogLine(download.name + L" does not match version.txt: " + result.detail);
        if (NextServerAfterWrongFile(download)) return true;
        DiscardPart(download);
        return false;
    }
    // An answer that does not continue the part, or ran past the end it
    // promised: nothing it says is trusted, the file is fetched anew.
    if (result.end == RangeEnd::Mismatch || result.end == RangeEnd::Overlong) {
        StartAgain(download, result.detail);
        return !GiveUpIfDue(download.retry, result, offset, download.environment);
    }
    // Without a validator nothing proves that the rest would be of the same file.
    if (Retryable(result) && offset > 0 && download.validator.empty())
        StartAgain(download, L"no ETag or Last-Modified to continue");
    std::error_code ec;
    const bool keeps = download.offset > 0 && fs::exists(TargetStatus(download.record, ec));
    const std::size_t next = (download.server + 1) % download.urls.size();
    download.retry.nextFrom = Several(download) ? ServerOf(download.urls[next]) : L"";
    switch (NextAfterFailure(
        download.retry, result, offset, download.environment, keeps ? L"; the next start resumes" : L"")) {
        case NextStep::Retry: MoveToServer(download, next); return true;
        case NextStep::Fail: LogCannotDownload(download.name, result); break;
        case NextStep::GiveUp:
        case NextStep::OutOfTime: break;
    }
    Abandon(download);
    return false;
}

}  // namespace

DownloadEnvironment RealDownloadEnvironment() {
    auto generator = std::make_shared<std::mt19937>(std::random_device{}());
    return {[] { return DownloadClock::now(); },
        [](DownloadClock::duration delay) { std::this_thread::sleep_for(delay); },
        [generator] { return std::uniform_real_distribution<double>(0.0, 1.0)(*generator); }, HttpGet};
}

bool DownloadFile(const std::wstring& url, const fs::path& destination) {
    const fs::path partial = PartialFileFor(destination);
    RangeRequest request;
    request.url = url;
    if (FetchRange(request, partial, RangeHooks{}).end == RangeEnd::Complete && ReplaceFileWith(partial, destination))
        return true;
    RemoveQuietly(partial);
    return false;
}

namespace {

// One server's turn at version.txt. Gives the failed attempt's result, with
// `refused` set when the answer came whole and was refused.
RangeResult AskForVersionFile(const std::wstring& url, const fs::path& destination, const VersionAcceptor& accept,
    RetryPolicy& retry, const DownloadEnvironment& environment, bool& accepted, bool& refused) {
    const fs::path partial = PartialFileFor(destination);
    RangeHooks hooks;
    hooks.body = [&](const char*, std::size_t size) {
        NoteRetryProgress(retry, environment, size);
        return true;
    };
    RangeRequest request;
    request.url = url;
    request.sizeLimit = kVersionFileLimit;
    request.deadline = retry.deadline;
    const RangeResult result = FetchRange(request, partial, hooks, environment.get);
    NoteAttemptOver(retry);
    accepted = refused = false;
    if (result.end == RangeEnd::Complete && ReplaceFileWith(partial, destination)) {
        accepted = accept(destination);
        refused = !accepted;
        if (refused) RemoveQuietly(destination);
        return result;
    }
    RemoveQuietly(partial);
    refused = result.end == RangeEnd::TooLarge;
    if (refused) LogLine(retry.name + L" refused: " + result.detail);
    return result;
}

}  // namespace

VersionFetch DownloadVersionFile(const std::vector<std::wstring>& urls, const fs::path& destination,
    const VersionAcceptor& accept, const DownloadEnvironment& environment) {
    if (urls.empty()) return VersionFetch::Failed;
    RetryPolicy retry = StartRetryPolicy(FileNameOf(urls.front()), environment);
    retry.deadline = environment.now() + kVersionFileDeadline;
    retry.deadlineText = std::to_wstring(kVersionFileDeadline.count()) + L" s";
    // Without a network (or a server) the game starts at once, not after the retries.
    retry.retryUnreachable = false;
    const bool several = urls.size() > 1;
    for (;;) {
        std::optional<RangeResult> worthAnother;  // a failure of this round that may pass
        RangeResult last;
        bool refused = false;
        for (std::size_t server = 0; server < urls.size(); ++server) {
            bool accepted = false;
            last = AskForVersionFile(urls[server], destination, accept, retry, environment, accepted, refused);
            if (accepted) {
                PreferServerForPackages(ServerOf(urls[server]));
                if (several) LogLine(retry.name + L" came from " + ServerOf(urls[server]));
                return VersionFetch::Accepted;
            }
            if (several && !refused)
                LogLine(retry.name + L" from " + ServerOf(urls[server]) + L": " + RetryReason(last));
            if (!refused && Retryable(last) && last.end != RangeEnd::Unreachable) worthAnother = last;
        }
        if (!worthAnother) {
            if (!refused) LogCannotDownload(retry.name, last);
            return refused ? VersionFetch::Refused : VersionFetch::Failed;
        }
        if (NextAfterFailure(retry, *worthAnother, 0, environment) != NextStep::Retry) return VersionFetch::Failed;
    }
}

bool DownloadVersionFile(const std::wstring& url, const fs::path& destination, const DownloadEnvironment& environment) {
    return DownloadVersionFile(
               {url}, destination, [](const fs::path&) { return true; }, environment) == VersionFetch::Accepted;
}

namespace {

PackageDownload StartPackageDownload(const std::vector<std::wstring>& urls, const fs::path& destination,
    const PackageCheck& check, const DownloadEnvironment& environment) {
    PackageDownload download{.urls = urls,
        .url = urls.front(),
        .name = FileNameOf(urls.front()),
        .destination = destination,
        .partial = PartialFileFor(destination),
        .record = ResumeRecordFor(destination),
        .check = check,
        .environment = environment,
        .release = ReleaseOf(check),
        .declaredSize = DeclaredSize(check)};
    ResumeOrStartFromZero(download);
    download.retry = StartRetryPolicy(download.name, environment);
    return download;
}

PackageProbe RunAttempts(PackageDownload& download) {
    for (;;) {
        const RangeResult result = Attempt(download);
        NoteAttemptOver(download.retry);
        if (download.noRoom) {
            DiscardPart(download);
            return PackageProbe::NoRoom;
        }
        if (download.rangesServed) return PackageProbe::RangesServed;
        if (result.end == RangeEnd::Complete && download.tail && !AppendHeldTail(download)) {
            StartAgain(download, L"the held end of the package cannot be added");
            continue;
        }
        if (result.end == RangeEnd::Complete) {
            if (Finish(download)) return PackageProbe::Downloaded;
            if (!download.keptBytes && NextServerAfterWrongFile(download)) continue;
            // A power cut can keep a part's length but not its last bytes (they
            // read as zeros): what does not match is fetched whole once more.
            if (!std::exchange(download.keptBytes, false)) return PackageProbe::Failed;
            LogLine(download.name + L": the resumed download does not match; starting again from byte 0");
            continue;
        }
        if (!PrepareRetry(download, result)) return PackageProbe::Failed;
    }
}

// The tail is used when the part is empty or holds the bytes of the same file
// before it; for an unchecked release only from the server the tail came from.
void HoldTail(PackageDownload& download, const HeldTail& tail) {
    const auto server = std::find(download.urls.begin(), download.urls.end(), tail.url);
    if (server == download.urls.end() || tail.from <= download.offset || tail.from >= tail.total) return;
    const auto index = static_cast<std::size_t>(server - download.urls.begin());
    const bool sameFile =
        download.offset == 0 || (download.validator == tail.validator && download.total == tail.total);
    const bool sameServer = download.offset == 0 || index == download.server;
    if (!sameFile || (!sameServer && !download.check.sha256)) return;
    if (download.offset == 0) UseServer(download, index);
    download.tail = &tail;
    download.tailServer = index;
    download.validator = tail.validator;
    download.total = tail.total;
}

}  // namespace

bool DownloadPackage(const std::wstring& url, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment, const HeldTail* tail) {
    return DownloadPackage(std::vector<std::wstring>{url}, destination, check, environment, tail);
}

bool DownloadPackage(const std::vector<std::wstring>& urls, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment, const HeldTail* tail) {
    if (urls.empty()) return false;
    PackageDownload download = StartPackageDownload(urls, destination, check, environment);
    if (tail) HoldTail(download, *tail);
    return RunAttempts(download) == PackageProbe::Downloaded;
}

PackageProbe ProbePackage(const std::vector<std::wstring>& urls, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment, const std::function<bool(std::uint64_t)>& roomFor, ProbedPackage& probed) {
    if (urls.empty()) return PackageProbe::Failed;
    PackageDownload download = StartPackageDownload(urls, destination, check, environment);
    download.probing = download.offset == 0;
    download.roomFor = roomFor;
    const PackageProbe probe = RunAttempts(download);
    if (probe != PackageProbe::RangesServed) return probe;
    probed = {download.total.value_or(0), download.validator, download.url};
    DiscardPart(download);  // the empty part the answer's head opened
    return probe;
}

bool HasResumablePart(const std::vector<std::wstring>& urls, const fs::path& destination, const PackageCheck& check) {
    std::error_code ec;
    const std::uint64_t partSize = FileSize(PartialFileFor(destination), ec);
    ResumeRecord record;
    const auto ofThisFile = [&record](const std::wstring& url) { return record.url == WideToUtf8(url); };
    return !ec && partSize > 0 && ReadResumeRecord(ResumeRecordFor(destination), record) &&
           std::any_of(urls.begin(), urls.end(), ofThisFile) && record.release == ReleaseOf(check) &&
           !record.validator.empty() && partSize <= record.total;
}

void DiscardPartialDownload(const fs::path& destination) {
    RemoveQuietly(PartialFileFor(destination));
    RemoveQuietly(ResumeRecordFor(destination));
}
