#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "base/thread_priority.h"
#include "test_support.h"
#include "zip/zip_extract.h"

TEST(ExtractZipPosix, RestoresTheExecutableBitFromUnixAttributes) {
    ScratchDir dir("zipmode");
    ASSERT_TRUE(ExtractZip(Package("unix_modes.zip"), dir.path));
    ASSERT_TRUE(ExtractZip(Package("iz_tree.zip"), dir.path));
    const std::pair<const char*, bool> cases[] = {{"bin/tool.sh", true}, {"bin/data.txt", false},
        {"bin/dos.txt", false},  // no Unix attributes
        {"tree/tool.sh", true},  // as Info-ZIP stored it
        {"tree/readme.txt", false}};
    for (const auto& [file, executable] : cases)
        EXPECT_EQ((fs::status(dir.path / file).permissions() & fs::perms::owner_exec) != fs::perms::none, executable)
            << file;
}

TEST(ExtractZipPosix, ReplacesAReadOnlyFileOfAnOrdinaryUser) {
    ScratchDir dir("zipowner");
    ASSERT_TRUE(RunAsNobody(dir.path, {}, [&] {
        WriteBytes(dir.path / "top.txt", "an older, longer content");
        fs::permissions(dir.path / "top.txt", fs::perms::owner_read);
        _exit(ExtractZip(Package("py_nested.zip"), dir.path) && ReadBytes(dir.path / "top.txt") == "top\n" ? 0 : 3);
    }));
}

// A link inside the destination could lead a write anywhere; extraction never follows one.
TEST(ExtractZipPosix, NeverWritesThroughLinks) {
    ScratchDir dir("ziplink");
    WriteTree(dir.path, {"dest/", "outside/target.txt=precious"});
    fs::create_symlink(dir.path / "outside" / "target.txt", dir.path / "dest" / "top.txt");
    fs::create_directory_symlink(dir.path / "outside", dir.path / "dest" / "a");
    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), dir.path / "dest")) << "folder a/ is a link";
    ExpectTree(ReadTree(dir.path / "outside"), {"target.txt=precious"});
    EXPECT_EQ(ReadBytes(dir.path / "dest" / "top.txt"), "top\n") << "the file link was replaced by the file";
}

// The threads that unpack beside a download run lowered; the one that receives must not.
TEST(ThreadPriorityPosix, LowersOnlyTheCallingThread) {
    const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (before >= 19) GTEST_SKIP() << "the tests already run at the lowest priority";
    int lowered = before;
    std::thread([&] {
        LowerThisThreadPriority();
        lowered = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    }).join();
    EXPECT_GT(lowered, before);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), before);
}
