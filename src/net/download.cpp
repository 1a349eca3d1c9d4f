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

namespace fs = std::filesystem;

bool Retryable(const RangeResult& result) {
    if (result.end == RangeEnd::Cut || result.end == RangeEnd::Stopped || result.end == RangeEnd::Unreachable)
        return true;
    if (result.end != RangeEnd::Refused) return false;
    return result.status == 408 || result.status == 429 || result.status >= 500;
}

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

std::wstring SecondsText(DownloadClock::duration duration) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.1f", std::chrono::duration<double>(duration).count());
    return text;
}

// What a status that will not change means to whoever publishes the files.
std::wstring StatusMeaning(long status) {
    switch (status) {
        case 401:
        case 403: return L" (access denied)";
        case 404:
        case 410: return L" (no such file on the server)";
        case 407: return L" (the proxy asks for credentials)";
        default: return {};
    }
}

std::wstring Reason(const RangeResult& result) {
    if (result.end == RangeEnd::Complete) return L"it could not be stored beside its destination";
    if (result.end != RangeEnd::Refused || result.status == 0) return result.detail;
    std::wstring reason = L"status " + std::to_wstring(result.status) + StatusMeaning(result.status);
    if (result.retryAfter) reason += L" (Retry-After " + std::to_wstring(result.retryAfter->count()) + L" s)";
    return reason;
}

std::wstring Describe(GiveUp why) {
    switch (why) {
        case GiveUp::TooManyAttempts: return std::to_wstring(kAttemptsWithoutProgress) + L" attempts without progress";
        case GiveUp::TooLongWithoutProgress:
            return L"no progress for " + std::to_wstring(kLongestWithoutProgress.count()) + L" s";
        case GiveUp::TooManyRestarts: return L"the file changed too often";
        case GiveUp::No: break;
    }
    return {};
}

void LogRetry(const std::wstring& name, const std::wstring& reason, std::uint64_t offset, int nextAttempt,
    DownloadClock::duration delay) {
    LogLine(name + L": " + reason + L" at byte " + std::to_wstring(offset) + L"; attempt " +
            std::to_wstring(nextAttempt) + L" in " + SecondsText(delay) + L" s");
}

// -- packages -------------------------------------------------------------------

struct PackageDownload {
    std::wstring url;
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
    DownloadWatch watch{};
    bool keptBytes = false;          // the part began with bytes an earlier start stored
    const HeldTail* tail = nullptr;  // until an answer of the whole file makes it useless
    // ProbePackage: byte 0 alone is asked until an answer says whether ranges are served.
    bool probing = false;
    bool rangesServed = false;
    std::function<bool(std::uint64_t)> roomFor{};
    bool noRoom = false;
};

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

void DiscardPart(PackageDownload& download) {
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
    const bool usable = HasResumablePart(download.url, download.destination, download.check) &&
                        ReadResumeRecord(download.record, record);
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
            ++download.watch.restarts;
        }
        download.tally = StartTally(download.check);
        download.keptBytes = false;
        const bool resumable = !answer.validator.empty() && answer.total.value_or(0) > 0;
        if (!resumable || !WriteResumeRecord(download.record,
                              {WideToUtf8(download.url), *answer.total, answer.validator, download.release}))
            RemoveQuietly(download.record);
    }
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
    request.headDeadline = download.watch.lastProgress + kLongestWithoutProgress;
    RangeHooks hooks;
    hooks.start = [&](const RangeResult& answer) { return BeginStoring(download, answer); };
    hooks.body = [&](const char* data, std::size_t size) {
        TallyBody(download.tally, data, size);
        if (environment.stored) environment.stored(download.offset, data, size);
        download.offset += size;
        NoteBytesStored(download.watch, environment.now(), size);
        ReportWork(download.offset, download.total.value_or(0));
        return true;
    };
    hooks.keepGoing = [&] { return ShouldGiveUp(download.watch, environment.now()) == GiveUp::No; };
    return FetchRange(request, download.partial, hooks, environment.get);
}

bool Finish(PackageDownload& download) {
    const std::wstring mismatch = DescribeMismatch(download.check, download.tally);
    if (!mismatch.empty()) LogLine(download.name + L" does not match version.txt: " + mismatch);
    if (mismatch.empty() && ReplaceFileWith(download.partial, download.destination)) {
        RemoveQuietly(download.record);
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
    download.tail = nullptr;  // it belongs to the file that the part held
    ++download.watch.restarts;
}

// After a failed attempt: waits and gives true when another attempt follows;
// false when the download is over.
bool PrepareRetry(PackageDownload& download, const RangeResult& result, int nextAttempt) {
    const std::uint64_t offset = download.offset;
    DownloadClock::duration delay{};
    if (result.end == RangeEnd::WrongSize || result.end == RangeEnd::TooLarge) {
        LogLine(download.name + L" does not match version.txt: " + result.detail);
        DiscardPart(download);
        return false;
    }
    if (result.end == RangeEnd::Mismatch) {
        StartAgain(download, result.detail);
    } else if (!Retryable(result)) {
        Abandon(download);
        LogLine(download.name + L" cannot be downloaded: " + Reason(result));
        return false;
    } else {
        // Without a validator nothing proves that the rest would be of the same file.
        if (offset > 0 && download.validator.empty()) StartAgain(download, L"no ETag or Last-Modified to continue");
        delay = RetryDelay(download.watch.attemptsWithoutProgress, result.retryAfter, download.environment.random());
    }
    const GiveUp why = ShouldGiveUp(download.watch, download.environment.now() + delay);
    if (why != GiveUp::No) {
        Abandon(download);
        const std::wstring last = result.end == RangeEnd::Stopped ? L"" : L" (" + Reason(result) + L")";
        LogLine(download.name + L": giving up at byte " + std::to_wstring(offset) + L" after " + Describe(why) + last +
                (download.offset > 0 ? L"; the next start resumes" : L""));
        return false;
    }
    if (result.end != RangeEnd::Mismatch) LogRetry(download.name, Reason(result), offset, nextAttempt, delay);
    download.environment.sleep(delay);
    return true;
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

bool DownloadVersionFile(const std::wstring& url, const fs::path& destination, const DownloadEnvironment& environment) {
    const std::wstring name = FileNameOf(url);
    const fs::path partial = PartialFileFor(destination);
    const auto deadline = environment.now() + kVersionFileDeadline;
    DownloadWatch watch = StartDownloadWatch(environment.now());
    RangeHooks hooks;
    hooks.body = [&](const char*, std::size_t size) {
        NoteBytesStored(watch, environment.now(), size);
        return true;
    };
    for (int attempt = 1;; ++attempt) {
        RangeRequest request;
        request.url = url;
        request.sizeLimit = kVersionFileLimit;
        request.deadline = deadline;
        const RangeResult result = FetchRange(request, partial, hooks, environment.get);
        NoteAttemptEnded(watch);
        if (result.end == RangeEnd::Complete && ReplaceFileWith(partial, destination)) return true;
        RemoveQuietly(partial);
        if (result.end == RangeEnd::TooLarge) {
            LogLine(name + L" refused: " + result.detail);
            return false;
        }
        // Without a network (or a server) the game starts at once, not after the retries.
        if (!Retryable(result) || result.end == RangeEnd::Unreachable) {
            LogLine(name + L" cannot be downloaded: " + Reason(result));
            return false;
        }
        const auto delay = RetryDelay(watch.attemptsWithoutProgress, result.retryAfter, environment.random());
        const GiveUp why = ShouldGiveUp(watch, environment.now() + delay);
        if (why != GiveUp::No || environment.now() + delay >= deadline) {
            const std::wstring after =
                why != GiveUp::No ? Describe(why) : std::to_wstring(kVersionFileDeadline.count()) + L" s";
            LogLine(name + L": giving up after " + after + L" (" + Reason(result) + L")");
            return false;
        }
        LogRetry(name, Reason(result), 0, attempt + 1, delay);
        environment.sleep(delay);
    }
}

namespace {

PackageDownload StartPackageDownload(const std::wstring& url, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment) {
    PackageDownload download{.url = url,
        .name = FileNameOf(url),
        .destination = destination,
        .partial = PartialFileFor(destination),
        .record = ResumeRecordFor(destination),
        .check = check,
        .environment = environment,
        .release = ReleaseOf(check),
        .declaredSize = DeclaredSize(check)};
    ResumeOrStartFromZero(download);
    download.watch = StartDownloadWatch(environment.now());
    return download;
}

PackageProbe RunAttempts(PackageDownload& download) {
    for (int attempt = 1;; ++attempt) {
        const RangeResult result = Attempt(download);
        NoteAttemptEnded(download.watch);
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
            // A power cut can keep a part's length but not its last bytes (they
            // read as zeros): what does not match is fetched whole once more.
            if (!std::exchange(download.keptBytes, false)) return PackageProbe::Failed;
            LogLine(download.name + L": the resumed download does not match; starting again from byte 0");
            continue;
        }
        if (!PrepareRetry(download, result, attempt + 1)) return PackageProbe::Failed;
    }
}

}  // namespace

bool DownloadPackage(const std::wstring& url, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment, const HeldTail* tail) {
    PackageDownload download = StartPackageDownload(url, destination, check, environment);
    const bool sameFile =
        download.offset == 0 || (tail && download.validator == tail->validator && download.total == tail->total);
    if (tail && sameFile && tail->from > download.offset && tail->from < tail->total) {
        download.tail = tail;
        download.validator = tail->validator;
        download.total = tail->total;
    }
    return RunAttempts(download) == PackageProbe::Downloaded;
}

PackageProbe ProbePackage(const std::wstring& url, const fs::path& destination, const PackageCheck& check,
    const DownloadEnvironment& environment, const std::function<bool(std::uint64_t)>& roomFor, ProbedPackage& probed) {
    PackageDownload download = StartPackageDownload(url, destination, check, environment);
    download.probing = download.offset == 0;
    download.roomFor = roomFor;
    const PackageProbe probe = RunAttempts(download);
    if (probe != PackageProbe::RangesServed) return probe;
    probed = {download.total.value_or(0), download.validator};
    DiscardPart(download);  // the empty part the answer's head opened
    return probe;
}

bool HasResumablePart(const std::wstring& url, const fs::path& destination, const PackageCheck& check) {
    std::error_code ec;
    const std::uint64_t partSize = FileSize(PartialFileFor(destination), ec);
    ResumeRecord record;
    return !ec && partSize > 0 && ReadResumeRecord(ResumeRecordFor(destination), record) &&
           record.url == WideToUtf8(url) && record.release == ReleaseOf(check) && !record.validator.empty() &&
           partSize <= record.total;
}

void DiscardPartialDownload(const fs::path& destination) {
    RemoveQuietly(PartialFileFor(destination));
    RemoveQuietly(ResumeRecordFor(destination));
}
