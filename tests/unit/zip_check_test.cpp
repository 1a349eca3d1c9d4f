// CheckZip reads a package as ExtractZip does, writing nothing: it accepts what
// extraction accepts, with the same files, and refuses what it refuses.

#include <gtest/gtest.h>

#include <algorithm>

#include "services/zip_extract.h"
#include "test_support.h"
#include "zip_test_support.h"

using testing_support::ScratchDir;
using zip_testing::Package;
using zip_testing::TreeOf;

TEST(CheckZip, AgreesWithExtraction) {
    for (const char* name : {"iz_tree.zip", "cp437.zip", "py_utf8.zip", "py_descriptor.zip", "zip64_fields.zip",
                             "unsafe_dotdot.zip", "unsafe_nul.zip", "damaged_crc.zip", "damaged_declared_smaller.zip",
                             "damaged_corrupt_stream.zip", "damaged_local_name_differs.zip", "damaged_cut.zip"}) {
        ScratchDir dir{"check"};
        const bool extracted = ExtractZip(Package(name), dir.path);
        std::vector<std::wstring> visited;
        const bool checked = CheckZip(Package(name), [&](const EntryPath& path, std::uint64_t) {
            std::wstring joined;
            for (const auto& component : path.components) joined += (joined.empty() ? L"" : L"/") + component;
            visited.push_back(joined);
        });
        EXPECT_EQ(checked, extracted) << name;
        if (!extracted) continue;
        std::vector<std::wstring> files;
        for (const auto& entry : TreeOf(dir.path))
            if (!entry.ends_with(L'/')) files.push_back(entry);
        std::sort(visited.begin(), visited.end());
        EXPECT_EQ(visited, files) << name;
        EXPECT_FALSE(files.empty()) << name;
    }
}
