#pragma once
// What a partial download beside its destination is a part of, so that a later
// attempt (in this start or the next) may ask only for the rest: the URL, the
// file's size and validator on the server, and the release version.txt named.

#include <cstdint>
#include <filesystem>
#include <string>

struct ResumeRecord {
    std::string url;  // UTF-8
    std::uint64_t total = 0;
    std::string validator;  // ETag, else Last-Modified
    std::string release;    // what version.txt said of the package
};

// False when the record is missing, unreadable or incomplete (a write that
// was cut short lacks its last line).
bool ReadResumeRecord(const std::filesystem::path& file, ResumeRecord& record);
bool WriteResumeRecord(const std::filesystem::path& file, const ResumeRecord& record);
