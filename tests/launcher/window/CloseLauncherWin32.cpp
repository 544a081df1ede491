// close_launcher: a test tool for the Windows stage. Waits (at most 60 s) for
// the launcher's window, then either clicks its close button as the player
// would and reports whether the launcher's process ended within 2 s, or, with
// --navigate URL, hands a launcher:// link to the window's test hook (a
// launcher started with ZELVAN_TEST_NAVIGATE) as the page would send it and
// reports whether the launcher ended by itself within --end-within ms.
// --screenshot FILE first saves the window's picture (a 24-bit BMP) as it is
// on the screen, for people to look at.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

// The launcher's WM_COPYDATA tag of a test link (CWin32Window::TEST_NAVIGATE_DATA).
constexpr ULONG_PTR TEST_NAVIGATE_DATA = 0x5A4C4E56;

// The window's pixels as the screen shows them, bottom-up rows of BGR.
bool saveScreenshot(HWND window, const char* path)
{
    RECT r{};
    if (!GetWindowRect(window, &r) || r.right <= r.left || r.bottom <= r.top)
        return false;
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != 0;
    SelectObject(memory, old);
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (DWORD(width) * 3 + 3) & ~3u;
    std::string pixels(size_t(stride) * size_t(height), '\0');
    copied = copied && GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(),
                                 reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == height;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied)
        return false;
    BITMAPFILEHEADER head{};
    head.bfType = 0x4D42;
    head.bfOffBits = sizeof head + sizeof info;
    head.bfSize = head.bfOffBits + DWORD(pixels.size());
    FILE* out = std::fopen(path, "wb");
    if (!out)
        return false;
    bool written = std::fwrite(&head, sizeof head, 1, out) == 1 &&
                   std::fwrite(&info, sizeof info, 1, out) == 1 &&
                   std::fwrite(pixels.data(), pixels.size(), 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    std::string url;
    const char* screenshot = nullptr;
    DWORD endWithin = 2000;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::strcmp(argv[i], "--navigate") == 0)
        {
            url = argv[i + 1];
            endWithin = 15000;
        }
        else if (std::strcmp(argv[i], "--screenshot") == 0)
            screenshot = argv[i + 1];
        else if (std::strcmp(argv[i], "--end-within") == 0)
            endWithin = DWORD(std::strtoul(argv[i + 1], nullptr, 10));
    }

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
    if (screenshot)
        std::printf("close_launcher: screenshot %s %s\n",
                    saveScreenshot(window, screenshot) ? "saved to" : "failed:", screenshot);
    ULONGLONG start = GetTickCount64();
    if (url.empty())
    {
        HWND button = GetDlgItem(window, 1050);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(1050, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    else
    {
        COPYDATASTRUCT data{TEST_NAVIGATE_DATA, DWORD(url.size()), url.data()};
        DWORD_PTR taken = 0;
        if (!SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                                 10000, &taken) ||
            !taken)
        {
            std::printf("close_launcher: the launcher refused %s\n", url.c_str());
            CloseHandle(process);
            return 1;
        }
    }
    DWORD waited = WaitForSingleObject(process, endWithin);
    ULONGLONG ms = GetTickCount64() - start;
    CloseHandle(process);
    const char* cause = url.empty() ? "its close button" : url.c_str();
    if (waited != WAIT_OBJECT_0)
    {
        std::printf("close_launcher: the launcher still runs %lu ms after %s\n", endWithin, cause);
        return 1;
    }
    std::printf("close_launcher: the launcher ended %llu ms after %s\n", ms, cause);
    return 0;
}
