#include "release/package_writer.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <numeric>
#include <thread>

#include "base/file_system.h"
#include "integrity/sha256.h"
#include "release/progress_bar.h"
#include "zip/zip_format.h"

namespace fs = std::filesystem;

namespace {

// zlib's and zip's default; libzip's own default is the slowest level, 9.
constexpr zip_uint32_t kDeflateLevel = 6;

struct Part {
    fs::path path;
    std::vector<std::size_t> members;  // indexes into the files, in the order added
    std::uint64_t bytes = 0;
    std::atomic<double> done{0.0};
    std::string error;
};

// The SHA-256 of a file's bytes, or empty when it cannot be read.
std::string ContentDigest(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    Sha256 hash = StartSha256();
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        AddToSha256(hash, buffer.data(), static_cast<std::size_t>(in.gcount()));
    Sha256Digest digest{};
    if (in.bad() || !FinishSha256(hash, digest)) return {};
    return std::string(digest.begin(), digest.end());
}

// Largest files first, each to the part with the fewest bytes so far, so that
// the threads finish at about the same time.
std::vector<std::unique_ptr<Part>> SplitIntoParts(const std::vector<PackageFile>& files, const fs::path& package) {
    std::size_t count = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, files.size());
    std::vector<std::unique_ptr<Part>> parts;
    for (std::size_t i = 0; i < count; ++i) {
        parts.push_back(std::make_unique<Part>());
        parts.back()->path = package.string() + ".part" + std::to_string(i);
    }
    std::vector<std::size_t> bySize(files.size());
    std::iota(bySize.begin(), bySize.end(), 0);
    std::stable_sort(bySize.begin(), bySize.end(), [&](auto a, auto b) { return files[a].size > files[b].size; });
    for (std::size_t index : bySize) {
        auto& lightest = *std::min_element(parts.begin(), parts.end(), [](auto& a, auto& b) {
            return std::pair(a->bytes, a->members.size()) < std::pair(b->bytes, b->members.size());
        });
        lightest->members.push_back(index);
        lightest->bytes += files[index].size;
    }
    return parts;
}

bool Fail(zip_t* archive, const std::string& what, std::string& error) {
    error = what + ": " + zip_strerror(archive);
    zip_discard(archive);
    return false;
}

void StoreFraction(zip_t*, double fraction, void* target) {
    static_cast<std::atomic<double>*>(target)->store(fraction);
}

void DrawFraction(zip_t*, double fraction, void* bar) { ShowProgress(*static_cast<ProgressBar*>(bar), fraction); }

zip_t* CreateArchive(const fs::path& path, std::string& error) {
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (archive == nullptr) error = "cannot create " + path.string();
    return archive;
}

// `digests` receives each member's content digest, taken on the part's own thread.
void WritePart(const std::vector<PackageFile>& files, Part& part, std::vector<std::string>& digests) {
    zip_t* archive = CreateArchive(part.path, part.error);
    if (archive == nullptr) return;
    for (std::size_t index : part.members) {
        const PackageFile& file = files[index];
        digests[index] = ContentDigest(file.source);
        if (digests[index].empty()) {
            part.error = "cannot read " + file.source.string();
            zip_discard(archive);
            return;
        }
        zip_source_t* source = zip_source_file(archive, file.source.c_str(), 0, -1);
        zip_int64_t added = source == nullptr ? -1 : zip_file_add(archive, file.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (added < 0) {
            zip_source_free(source);
            Fail(archive, file.source.string(), part.error);
            return;
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(added), ZIP_CM_DEFLATE, kDeflateLevel);
    }
    zip_register_progress_callback_with_state(archive, 0.001, &StoreFraction, nullptr, &part.done);
    if (zip_close(archive) != 0) Fail(archive, "writing " + part.path.string(), part.error);
}

// Runs one thread per part; the calling thread draws their combined progress.
void CompressParts(const std::vector<PackageFile>& files, std::vector<std::unique_ptr<Part>>& parts,
    std::uint64_t totalBytes, std::vector<std::string>& digests) {
    std::atomic<std::size_t> running = parts.size();
    std::vector<std::thread> threads;
    for (auto& part : parts)
        threads.emplace_back([&files, &running, &part, &digests] {
            WritePart(files, *part, digests);
            --running;
        });
    ProgressBar bar = StartProgressBar("Compressing", totalBytes);
    while (running > 0) {
        double done = 0;
        for (auto& part : parts) done += part->done * static_cast<double>(part->bytes);
        ShowProgress(bar, totalBytes == 0 ? 0.0 : done / static_cast<double>(totalBytes));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& thread : threads) thread.join();
    EndProgressBar(bar);
}

// Gives the entry its content digest field in the central directory (README
// describes the field for other packaging tools).
bool AddDigestField(zip_t* archive, zip_uint64_t index, const std::string& digest) {
    return zip_file_extra_field_set(archive, index, kContentSha256ExtraId, ZIP_EXTRA_FIELD_NEW,
               reinterpret_cast<const zip_uint8_t*>(digest.data()), static_cast<zip_uint16_t>(digest.size()),
               ZIP_FL_CENTRAL) == 0;
}

// Copies every part's compressed entries into the package in the files' order.
bool Assemble(const std::vector<PackageFile>& files, std::vector<std::unique_ptr<Part>>& parts, const fs::path& package,
    std::uint64_t totalBytes, const std::vector<std::string>& digests, std::string& error) {
    std::vector<zip_t*> sources;
    std::vector<std::pair<zip_t*, zip_uint64_t>> origin(files.size());
    auto closeSources = [&] {
        for (zip_t* source : sources) zip_discard(source);
    };
    for (auto& part : parts) {
        int code = 0;
        sources.push_back(zip_open(part->path.c_str(), ZIP_RDONLY, &code));
        if (sources.back() == nullptr) {
            sources.pop_back();
            closeSources();
            error = "cannot read back " + part->path.string();
            return false;
        }
        for (std::size_t k = 0; k < part->members.size(); ++k) origin[part->members[k]] = {sources.back(), k};
    }
    zip_t* archive = CreateArchive(package, error);
    bool ok = archive != nullptr;
    for (std::size_t i = 0; ok && i < files.size(); ++i) {
        zip_source_t* source = zip_source_zip(archive, origin[i].first, origin[i].second, 0, 0, -1);
        zip_int64_t added =
            source == nullptr ? -1 : zip_file_add(archive, files[i].name.c_str(), source, ZIP_FL_ENC_UTF_8);
        constexpr zip_uint32_t kRegularFile = 0100000;
        ok = added >= 0 &&
             zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(added), 0, ZIP_OPSYS_UNIX,
                 (kRegularFile | files[i].mode) << 16) == 0 &&
             AddDigestField(archive, static_cast<zip_uint64_t>(added), digests[i]);
        if (!ok) {
            zip_source_free(source);
            Fail(archive, files[i].name, error);
        }
    }
    if (ok) {
        ProgressBar bar = StartProgressBar("Assembling", totalBytes);
        zip_register_progress_callback_with_state(archive, 0.001, &DrawFraction, nullptr, &bar);
        ok = zip_close(archive) == 0 || Fail(archive, "writing " + package.string(), error);
        EndProgressBar(bar);
    }
    closeSources();
    return ok;
}

}  // namespace

bool WritePackage(const std::vector<PackageFile>& files, const fs::path& package, std::string& error) {
    if (files.empty()) {
        error = "no files to package";
        return false;
    }
    std::uint64_t totalBytes = 0;
    for (const auto& file : files) totalBytes += file.size;
    auto parts = SplitIntoParts(files, package);
    std::vector<std::string> digests(files.size());
    CompressParts(files, parts, totalBytes, digests);
    bool ok = true;
    for (auto& part : parts) {
        if (ok && !part->error.empty()) {
            error = part->error;
            ok = false;
        }
    }
    ok = ok && Assemble(files, parts, package, totalBytes, digests, error);
    for (auto& part : parts) RemoveQuietly(part->path);
    return ok;
}
