#include "rules/own_executable.h"

std::wstring OwnExecutableName() { return L"Updater"; }
std::wstring SetAsideUpdaterName() { return L"Updater.old"; }
