#include "platform/Console.h"

namespace platform
{

const char* consoleAnsiColour(int colour)
{
    // Windows attributes order the colour bits blue, green, red; ANSI orders
    // them red, green, blue. Index = ANSI colour number 0-7, plus 8 when bright.
    static const char* const kAnsi[16] = {
        "\x1b[30m", "\x1b[31m", "\x1b[32m", "\x1b[33m", "\x1b[34m", "\x1b[35m", "\x1b[36m", "\x1b[37m",
        "\x1b[90m", "\x1b[91m", "\x1b[92m", "\x1b[93m", "\x1b[94m", "\x1b[95m", "\x1b[96m", "\x1b[97m",
    };
    int c = colour & 0x0F;
    int ansi = ((c & 4) ? 1 : 0) | ((c & 2) ? 2 : 0) | ((c & 1) ? 4 : 0);
    return kAnsi[ansi + ((c & 8) ? 8 : 0)];
}

void consoleWrite(std::FILE* stream, const char* text, size_t length, int colour)
{
    if (!stream)
        return;
    bool coloured = colour >= 0 && consoleIsTerminal(stream);
    if (coloured)
        std::fputs(consoleAnsiColour(colour), stream);
    std::fwrite(text, 1, length, stream);
    if (coloured)
        std::fputs("\x1b[0m", stream);
    std::fflush(stream);
}

} // namespace platform
