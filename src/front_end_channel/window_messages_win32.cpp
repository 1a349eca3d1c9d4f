#include "front_end_channel/window_messages_win32.h"

std::atomic<HWND> g_mainWindow{nullptr};
