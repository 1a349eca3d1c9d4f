#include <windows.h>

#include "apply/own_executable.h"

std::wstring OwnExecutableName() { return L"Updater.exe"; }
std::wstring SetAsideUpdaterName() { return L"Updater.exe.old"; }
