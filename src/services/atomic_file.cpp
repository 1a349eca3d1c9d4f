#include "services/atomic_file.h"

#include <system_error>

bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::path temporary = file;
    temporary += ".tmp";
    if (WriteAndFlush(temporary, bytes) && ReplaceFileWith(temporary, file)) return true;
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return false;
}
