// A stand-in for the game client in the Windows tests. It appends its command
// line to "standin.log" in its current folder, opens a top-level window of the
// game's class (not when its command line holds the word "nowindow"), and
// ends on WM_CLOSE, as soon as a file "release" exists in its current folder,
// or after 30 seconds at the latest.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace
{

constexpr DWORD LIFETIME_MS = 30000;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
    {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool released()
{
    return GetFileAttributesA("release") != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    const char* line = GetCommandLineA();
    if (FILE* log = std::fopen("standin.log", "ab"))
    {
        std::fprintf(log, "%s\n", line);
        std::fclose(log);
    }
    if (!std::strstr(line, "nowindow"))
    {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = "ZelvanWclName";
        if (!RegisterClassA(&windowClass) ||
            !CreateWindowExA(0, "ZelvanWclName", "Zelvan stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                             nullptr, nullptr, instance, nullptr))
            return 2;
    }
    const DWORD start = GetTickCount();
    while (!released() && GetTickCount() - start < LIFETIME_MS)
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        {
            if (message.message == WM_QUIT)
                return 0;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}
