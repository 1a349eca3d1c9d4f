#include <windows.h>

#include "rules/own_executable.h"

std::wstring OwnExecutableName() { return L"Updater.exe"; }
std::wstring SetAsideUpdaterName() { return L"Updater.exe.old"; }
