// Zelvan: the game launcher.
#include "launcher/AppSeams.h"
#include "launcher/UpdaterApp.h"

#include <cstdio>
#include <cstring>

namespace
{

void printHelp()
{
    std::printf("Usage: Zelvan [/rus | /eng] [/auto_realm SECTION]\n"
                "Run in the game's installation folder.\n"
                "  /rus, /eng           language of the launcher's own texts\n"
                "                       (default: the user's language when Russian, else English)\n"
                "  /auto_realm SECTION  preselect the realm of that game.ini section; also lets\n"
                "                       this launcher run beside another one\n");
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
        {
            printHelp();
            return 0;
        }
    std::unique_ptr<IAppUi> ui = createAppUi(argc, argv);
    CUpdaterApp app(*ui);
    // The application never reports success from its initialisation; the
    // process simply ends after the window.
    app.initInstance(CMyWinApp::commandLineFromArgs(argc, argv));
    return app.refused() ? 1 : 0;
}
