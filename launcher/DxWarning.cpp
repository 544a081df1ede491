#include "launcher/DxWarning.h"
#include "launcher/TextIds.h"

#include "launcher/DialogTestLog.h"
#include "launcher/TextTable.h"
#include "launcher/window/WindowBackend.h"

#include <atomic>

namespace
{

std::atomic<bool> hookDone{false};

// The warning speaks the language chosen at start-up, whatever happens later.
CTextTable& warningTexts()
{
    static CTextTable table;
    return table;
}

} // namespace

bool directXNeedsWarning(bool checkSucceeded, uint32_t packedVersion)
{
    return !checkSucceeded || packedVersion < DX_VERSION_9_0C;
}

void resetDirectXFirstPaintHook()
{
    hookDone = false;
}

void runDirectXFirstPaintHook(IWindowBackend* owner, const CTextTable& windowTexts, IDxProvider& provider)
{
    if (hookDone.exchange(true))
        return;
    if (&warningTexts() != &windowTexts)
        warningTexts() = windowTexts;
    if (!provider.getSystemDirectory())
        return;
    uint32_t packed = 0;
    bool ok = getDirectXVersion(provider, &packed, nullptr, 0);
    if (directXNeedsWarning(ok, packed))
        showDirectXWarning(owner, warningTexts());
}

std::string directXWarningText(const CTextTable& texts)
{
    // Held whole: a long translation is never cut.
    return texts.text(text_id::DIRECTX_TOO_OLD) + "\r\n" + texts.text(text_id::DIRECTX_DOWNLOAD) +
           "\r\n\r\n" + DIRECTX_DOWNLOAD_URL;
}

void showDirectXWarning(IWindowBackend* owner, const CTextTable& texts)
{
    std::string caption = texts.text(text_id::WARNING_CAPTION);
    std::string text = directXWarningText(texts);
    if (logDialogForTest(caption, text) || !owner)
        return;
    owner->showDirectXWarning(caption, text);
}
