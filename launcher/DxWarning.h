// The DirectX warning: once per process, at the launcher window's first
// paint, a modal note when the installed DirectX is older than 9.0c.
#pragma once

#include "launcher/DirectXCheck.h"

typedef struct _GtkWindow GtkWindow;
class CTextTable;

constexpr const char* DIRECTX_DOWNLOAD_URL = "https://www.microsoft.com/ru-ru/download/details.aspx?id=35";

// True when this version result calls for the warning.
bool directXNeedsWarning(bool checkSucceeded, uint32_t packedVersion);

// The first-paint hook. Does nothing after its first call in the process, and
// nothing where no Wine prefix holds the game client's DirectX.
void runDirectXFirstPaintHook(GtkWindow* owner, const CTextTable& windowTexts, IDxProvider& provider);

// Lets the hook run again; for tests, which run many windows in one process.
void resetDirectXFirstPaintHook();

// The warning dialog itself (caption text 191; texts 190, 192 and the address).
void showDirectXWarning(GtkWindow* owner, const CTextTable& texts);
