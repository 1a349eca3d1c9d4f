#include <chrono>
#include <thread>

#include "game_launch_support.h"
#include "test_support.h"

std::string WaitForLaunchRecord(const std::filesystem::path& dir) {
    const auto record = dir / "launched.txt";
    for (int i = 0; i < 400; ++i) {
        std::error_code ec;
        if (std::filesystem::file_size(record, ec) > 0 && !ec) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the writer finish
            return testing_support::ReadBytes(record);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}
