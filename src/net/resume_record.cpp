#include "net/resume_record.h"

#include <fstream>
#include <sstream>

#include "base/decimal.h"
#include "base/long_path.h"

namespace {

constexpr const char* kEndLine = "end";

}  // namespace

bool ReadResumeRecord(const std::filesystem::path& file, ResumeRecord& record) {
    std::ifstream in(LongPath(file), std::ios::binary);
    std::string line, total;
    bool ended = false;
    for (int lines = 0; !ended && lines < 8 && std::getline(in, line); ++lines) {
        const auto colon = line.find(": ");
        const std::string key = line.substr(0, colon), value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (key == "url")
            record.url = value;
        else if (key == "size")
            total = value;
        else if (key == "validator")
            record.validator = value;
        else if (key == "release")
            record.release = value;
        else
            ended = line == kEndLine;
    }
    return ended && ParseDecimal(total, record.total);
}

// Written in place, without a temporary sibling: a record cut short by a
// crash has no end line and is not read.
bool WriteResumeRecord(const std::filesystem::path& file, const ResumeRecord& record) {
    std::ostringstream text;
    text << "url: " << record.url << "\nsize: " << record.total << "\nvalidator: " << record.validator
         << "\nrelease: " << record.release << "\n"
         << kEndLine << "\n";
    std::ofstream out(LongPath(file), std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    return static_cast<bool>(out);
}
