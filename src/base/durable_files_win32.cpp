#include <windows.h>
#include <io.h>

#include "base/durable_files.h"
#include "base/log.h"
#include "base/text.h"

namespace {

// The C runtime descriptor under a file stream: this standard library keeps
// the open file in a protected member of the stream's buffer.
struct StreamFile : std::filebuf {
    static int Descriptor(std::filebuf& buffer) { return (buffer.*&StreamFile::_M_file).fd(); }
};

std::wstring SystemWords(DWORD error) {
    wchar_t* words = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, error, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    std::wstring text(words, length);
    LocalFree(words);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) text.pop_back();
    return text + (text.empty() ? L"error " : L" (error ") + std::to_wstring(error) + (text.empty() ? L"" : L")");
}

// Without administrator rights a whole volume cannot be flushed, so each file is.
bool FlushThroughHandle(std::ofstream& out, const std::filesystem::path& file) {
    if (!UPDATER_FLUSHES_TO_DISK) return true;  // a benchmark build that measures what flushing costs
    const int descriptor = out.is_open() ? StreamFile::Descriptor(*out.rdbuf()) : -1;
    const auto handle = descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle)) return true;
    LogLine(L"Flushing " + PathToWide(file) + L" to the disk failed: " + SystemWords(GetLastError()));
    return false;
}

}  // namespace

bool CloseWritten(std::ofstream& out, const std::filesystem::path& file) {
    const bool flushed = out.flush() && FlushThroughHandle(out, file);
    out.close();
    if (!flushed) out.setstate(std::ios::failbit);
    return static_cast<bool>(out);
}

// Each file was flushed when it was closed.
bool FlushFilesToDisk(const std::filesystem::path&) { return true; }

void StartWritingToDisk(const std::filesystem::path&) {}

void DropFileContent(const std::filesystem::path&) {}

void FlushNamesToDisk(const std::filesystem::path&) {}
