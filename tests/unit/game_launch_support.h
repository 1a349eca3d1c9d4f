#pragma once
// The game stand-in built with the tests, and what it recorded when started.
#include <filesystem>
#include <string>

// Copies the stand-in into dir as torvane.exe.
void InstallGameStub(const std::filesystem::path& dir);
// Waits (up to 20 s) for the stand-in's record and returns it; empty if none.
std::string WaitForLaunchRecord(const std::filesystem::path& dir);
// The record a start from installDir must produce.
std::string ExpectedLaunchRecord(const std::filesystem::path& installDir);
