#include <fcntl.h>
#include <unistd.h>

#include "base/durable_files.h"
#include "base/owned_fd_posix.h"

namespace {

// One call covers every file of the file system, whatever their number.
bool SyncFileSystemOf(const std::filesystem::path& path) {
    if (!UPDATER_FLUSHES_TO_DISK) return true;  // a benchmark build that measures what flushing costs
    OwnedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd && ::syncfs(fd.Get()) == 0;
}

}  // namespace

bool CloseWritten(std::ofstream& out, const std::filesystem::path&) {
    out.close();
    return static_cast<bool>(out);
}

bool FlushFilesToDisk(const std::filesystem::path& directory) { return SyncFileSystemOf(directory); }

void StartWritingToDisk(const std::filesystem::path& file) {
    if (!UPDATER_FLUSHES_TO_DISK) return;
    OwnedFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) ::sync_file_range(fd.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void DropFileContent(const std::filesystem::path& file) { (void)::truncate(file.c_str(), 0); }

void FlushNamesToDisk(const std::filesystem::path& directory) { SyncFileSystemOf(directory); }
