// The application base: keeps the command line (the text after the program
// name) and its tokens. Tokens are cut at blanks and tabs with no quoting, so
// a quoted argument with blanks falls into several tokens and keeps its quotes.
#pragma once

#include <optional>
#include <string>
#include <vector>

class CMyWinApp
{
public:
    virtual ~CMyWinApp() = default;

    // Splits the command line into tokens. Returns whether the application
    // should go on into a message loop of its own (the base always does).
    virtual bool initInstance(const std::string& commandLine);

    // True when some token equals name without regard to letter case.
    bool hasSwitch(const std::string& name) const;
    // The token after the first occurrence of name that is followed by a
    // token not empty and not starting with '-' or '/'.
    std::optional<std::string> getSwitchValue(const std::string& name) const;

    const std::vector<std::string>& tokens() const { return m_tokens; }

    // The command line of a POSIX program: its arguments joined with blanks.
    static std::string commandLineFromArgs(int argc, char** argv);

private:
    std::string m_commandLine;
    std::vector<std::string> m_tokens;
};
