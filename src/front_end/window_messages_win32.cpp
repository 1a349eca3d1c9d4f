#include "front_end/window_messages_win32.h"

std::atomic<HWND> g_mainWindow{nullptr};
