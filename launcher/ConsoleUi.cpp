// The stand-in user interface of a build without the launcher window: message
// boxes go to stderr and the window is not shown.
#include "launcher/AppSeams.h"

#include <cstdio>

namespace
{

class CConsoleUi : public IAppUi
{
public:
    void showMessageBox(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }

    void runMainWindow(const std::string& autoRealm) override
    {
        std::fprintf(stderr, "Zelvan: built without the launcher window; nothing to show%s%s.\n",
                     autoRealm.empty() ? "" : " for realm ", autoRealm.c_str());
    }
};

} // namespace

std::unique_ptr<IAppUi> createAppUi(int&, char**&)
{
    return std::make_unique<CConsoleUi>();
}
