// The DirectX warning: once per process, at the launcher window's first
// paint, a modal note when the installed DirectX is older than 9.0c. The
// dialog itself belongs to the window's backend.
#pragma once

#include "launcher/DirectXCheck.h"

#include <string>

class CTextTable;
class IWindowBackend;

constexpr const char* DIRECTX_DOWNLOAD_URL = "https://www.microsoft.com/ru-ru/download/details.aspx?id=35";

// True when this version result calls for the warning.
bool directXNeedsWarning(bool checkSucceeded, uint32_t packedVersion);

// The first-paint hook. Does nothing after its first call in the process, and
// nothing where the provider knows no system folder (no DirectX to check).
// owner shows the dialog; without one it is only logged for tests.
void runDirectXFirstPaintHook(IWindowBackend* owner, const CTextTable& windowTexts, IDxProvider& provider);

// Lets the hook run again; for tests, which run many windows in one process.
void resetDirectXFirstPaintHook();

// The warning's text: texts 190 and 192 and the address, joined by line breaks.
std::string directXWarningText(const CTextTable& texts);

// The warning dialog itself (caption text 191).
void showDirectXWarning(IWindowBackend* owner, const CTextTable& texts);
