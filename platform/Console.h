// Console output with colours. Colours are Windows console text attributes
// (1 blue, 2 green, 4 red, 8 bright); on a terminal they become ANSI escape
// sequences, and the terminal's colours are restored after the text. A stream
// that is not a terminal gets the plain text.
#pragma once

#include <cstddef>
#include <cstdio>

namespace platform
{

enum ConsoleColour : int
{
    CONSOLE_PLAIN = -1,
    CONSOLE_BRIGHT_CYAN = 11,
    CONSOLE_BRIGHT_RED = 12,
};

bool consoleIsTerminal(std::FILE* stream);
// Points stdout at stderr and returns a new stream on what stdout was, so that
// library output lands on stderr while results keep the real stdout; null on
// failure.
std::FILE* consoleMoveStdoutToStderr();
// Writes text (length bytes) in the colour and flushes the stream.
void consoleWrite(std::FILE* stream, const char* text, size_t length, int colour);
// The ANSI sequence that selects a Windows colour attribute, e.g. "\x1b[96m" for 11.
const char* consoleAnsiColour(int colour);

} // namespace platform
