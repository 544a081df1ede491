// The DirectX warning as a native dialog made from a template in memory:
// 347 by 74 dialog units in "MS Shell Dlg" 8, centred, with a read-only,
// centred, multi-line edit field (id 1036) and an OK button (id 1).
#include "launcher/window/DocumentPageOps.h"

#include <windows.h>

#include <string>
#include <vector>

namespace
{

constexpr WORD EDIT_ID = 1036;

class TemplateWriter
{
public:
    void align(size_t bytes)
    {
        while ((m_words.size() * 2) % bytes)
            m_words.push_back(0);
    }
    void word(WORD w) { m_words.push_back(w); }
    void dword(DWORD d)
    {
        word(LOWORD(d));
        word(HIWORD(d));
    }
    void text(const wchar_t* s)
    {
        for (; *s; ++s)
            word(static_cast<WORD>(*s));
        word(0);
    }
    void item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom, const wchar_t* title)
    {
        align(4);
        dword(style);
        dword(0);
        for (short v : {x, y, cx, cy})
            word(static_cast<WORD>(v));
        word(id);
        word(0xFFFF);
        word(atom);
        text(title);
        word(0); // no creation data
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

private:
    std::vector<WORD> m_words;
};

struct DialogText
{
    std::wstring caption;
    std::wstring text;
};

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
    {
        auto* texts = reinterpret_cast<DialogText*>(lParam);
        SetWindowTextW(dialog, texts->caption.c_str());
        SetDlgItemTextW(dialog, EDIT_ID, texts->text.c_str());
        return FALSE; // the focus stays where the system puts it
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
        {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

std::wstring wide(const std::string& text)
{
    std::u16string u = utf8ToUtf16(text);
    return std::wstring(u.begin(), u.end());
}

} // namespace

void runDirectXWarningDialog(HWND owner, const std::string& caption, const std::string& text)
{
    TemplateWriter t;
    t.dword(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    t.dword(0);
    t.word(2); // items
    for (short v : {0, 0, 347, 74})
        t.word(static_cast<WORD>(v));
    t.word(0);   // no menu
    t.word(0);   // the default dialog class
    t.text(L""); // the caption is set when the dialog opens
    t.word(8);   // points
    t.text(L"MS Shell Dlg");
    t.item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 147, 57, 50, 14, IDOK, 0x0080, L"OK");
    t.item(WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_READONLY | ES_CENTER | ES_AUTOVSCROLL, 2, 1,
           343, 52, EDIT_ID, 0x0081, L"");
    DialogText texts{wide(caption), wide(text)};
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.get(), owner, dialogProc,
                            reinterpret_cast<LPARAM>(&texts));
}
