// close_launcher: a test tool for the Windows stage. Waits (at most 60 s) for
// the launcher's window, clicks its close button as the player would, and
// reports whether the launcher's process ended within 2 s.
#include <windows.h>

#include <cstdio>

int main()
{
    HWND window = nullptr;
    for (int i = 0; i < 600 && !(window = FindWindowW(L"ZelvanLauncherWindow", nullptr)); ++i)
        Sleep(100);
    if (!window)
    {
        std::printf("close_launcher: no launcher window\n");
        return 2;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
    {
        std::printf("close_launcher: cannot watch process %lu\n", pid);
        return 2;
    }
    HWND button = GetDlgItem(window, 1050);
    ULONGLONG start = GetTickCount64();
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1050, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    DWORD waited = WaitForSingleObject(process, 2000);
    ULONGLONG ms = GetTickCount64() - start;
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0)
    {
        std::printf("close_launcher: the launcher still runs 2 s after its close button\n");
        return 1;
    }
    std::printf("close_launcher: the launcher ended %llu ms after its close button\n", ms);
    return 0;
}
