#include "tools/common/PasswordSource.h"

#include <cstdio>
#include <fstream>

#include "platform/Environment.h"

namespace
{
// Far beyond a login's 15 bytes: anything longer is not a password file.
constexpr size_t kMaxFileBytes = 4096;
} // namespace

bool choosePassword(const std::string& file, const std::string& given, std::string& password,
                    std::string& error)
{
    std::string fromEnvironment;
    if (!file.empty())
    {
        std::ifstream in(file, std::ios::binary);
        std::string text(kMaxFileBytes + 1, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        if (in.bad() || (!in && !in.eof()))
        {
            error = "cannot read the password file '" + file + "'";
            return false;
        }
        text.resize(static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes)
        {
            error = "the password file '" + file + "' is too long";
            return false;
        }
        password = text.substr(0, text.find_first_of("\r\n"));
    }
    else if (platform::getEnvironmentVariable("UPD_PASSWORD", fromEnvironment))
    {
        password = fromEnvironment;
    }
    else
    {
        password = given;
        if (!given.empty())
            std::fputs("warning: --password is visible to every user in the process table; use "
                       "--password-file or UPD_PASSWORD\n",
                       stderr);
    }
    return true;
}
