// The Win32 side of the launcher's application seam: message boxes and the
// launcher window with the Win32 backend, on a thread that has initialised OLE.
#include "launcher/AppSeams.h"
#include "launcher/DialogTestLog.h"
#include "launcher/UpdaterDlg.h"
#include "launcher/window/DocumentPageOps.h"

#include <windows.h>

#include <commctrl.h>
#include <ole2.h>

namespace
{

std::wstring wide(const std::string& text)
{
    std::u16string u = utf8ToUtf16(text);
    return std::wstring(u.begin(), u.end());
}

class CWin32Ui : public IAppUi
{
public:
    CWin32Ui()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        m_ole = SUCCEEDED(OleInitialize(nullptr));
    }
    ~CWin32Ui() override
    {
        if (m_ole)
            OleUninitialize();
    }

    void showMessageBox(const std::string& caption, const std::string& text) override
    {
        if (logDialogForTest(caption, text))
            return;
        MessageBoxW(GetActiveWindow(), wide(text).c_str(), wide(caption).c_str(), MB_OK | MB_ICONERROR);
    }

    void runMainWindow(const std::string& autoRealm) override
    {
        CUpdaterDlg dlg(autoRealm, *this);
        dlg.runModal();
    }

private:
    bool m_ole = false;
};

} // namespace

std::unique_ptr<IAppUi> createAppUi(int&, char**&)
{
    return std::make_unique<CWin32Ui>();
}
