// The "\\?\" form that every file call of the Windows build passes on.

#include "base/long_path.h"
#include "test_support.h"

TEST(LongPathWin32, AbsolutePathsTakeTheLongForm) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {LR"(C:\Games\Torvane\game.dat)", LR"(\\?\C:\Games\Torvane\game.dat)"},
        {LR"(c:/Games/./Torvane/Data/../game.dat)", LR"(\\?\c:\Games\Torvane\game.dat)"},
        {LR"(\\server\share\Games\game.dat)", LR"(\\?\UNC\server\share\Games\game.dat)"},
        {LR"(//server/share/Games/game.dat)", LR"(\\?\UNC\server\share\Games\game.dat)"},
        {LR"(\\?\C:\Games\game.dat)", LR"(\\?\C:\Games\game.dat)"},
        {LR"(\\.\pipe\updater)", LR"(\\.\pipe\updater)"},
        {LR"(\\server\share)", LR"(\\?\UNC\server\share\)"},
        {LR"(C:\Games\..\..\game.dat)", LR"(\\?\C:\game.dat)"},
        {LR"(Games\game.dat)", LR"(Games\game.dat)"},
        {LR"(C:game.dat)", LR"(C:game.dat)"},
        {LR"(\Games\game.dat)", LR"(\Games\game.dat)"},
        {L"", L""},
    };
    for (const auto& [path, expected] : rows) EXPECT_EQ(LongPath(path).native(), expected) << fs::path(path);
}
