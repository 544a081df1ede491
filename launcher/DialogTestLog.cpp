#include "launcher/DialogTestLog.h"

#include <cstdio>
#include <cstdlib>

bool logDialogForTest(const std::string& caption, const std::string& text)
{
    const char* path = std::getenv("ZELVAN_DIALOG_LOG");
    if (!path || !*path)
        return false;
    std::string line = caption + "|";
    for (char c : text)
    {
        if (c == '\n')
            line += "\\n";
        else if (c != '\r')
            line += c;
    }
    if (FILE* f = std::fopen(path, "a"))
    {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    return true;
}
