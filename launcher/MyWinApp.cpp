#include "launcher/MyWinApp.h"

#include <cctype>

namespace
{

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

bool CMyWinApp::initInstance(const std::string& commandLine)
{
    m_commandLine = commandLine;
    m_tokens.clear();
    m_tokens.reserve(16);
    size_t i = 0;
    const size_t n = m_commandLine.size();
    while (i < n)
    {
        while (i < n && (m_commandLine[i] == ' ' || m_commandLine[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < n && m_commandLine[i] != ' ' && m_commandLine[i] != '\t')
            ++i;
        if (i > start)
            m_tokens.push_back(m_commandLine.substr(start, i - start));
    }
    return true;
}

bool CMyWinApp::hasSwitch(const std::string& name) const
{
    for (const std::string& t : m_tokens)
        if (equalNoCase(t, name))
            return true;
    return false;
}

std::optional<std::string> CMyWinApp::getSwitchValue(const std::string& name) const
{
    for (size_t i = 0; i + 1 < m_tokens.size(); ++i)
    {
        if (!equalNoCase(m_tokens[i], name))
            continue;
        const std::string& value = m_tokens[i + 1];
        if (!value.empty() && value[0] != '-' && value[0] != '/')
            return value;
    }
    return std::nullopt;
}

std::string CMyWinApp::commandLineFromArgs(int argc, char** argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i)
    {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    return line;
}
