#include "newupdatesystem/Common/PathUtil.h"

#include <cstring>

namespace
{

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

} // namespace

void normalizePath(char* path)
{
    for (; *path; ++path)
    {
        *path = *path == '\\' ? '/' : lowerAscii(*path);
    }
}

void addTrailingSlash(char* path)
{
    size_t n = strlen(path);
    if (n == 0 || isSeparator(path[n - 1]) || n >= MAX_PATH_LENGTH)
    {
        return;
    }
    path[n] = '/';
    path[n + 1] = '\0';
}

void addTrailingSlash(std::string& path)
{
    if (!path.empty() && !isSeparator(path.back()))
    {
        path += '/';
    }
}

void pathCopy(char* buffer, const char* text)
{
    buffer[0] = '\0';
    pathAppend(buffer, text);
}

void pathAppend(char* buffer, const char* text)
{
    size_t n = strnlen(buffer, MAX_PATH_LENGTH);
    size_t add = strnlen(text, MAX_PATH_LENGTH - n);
    memcpy(buffer + n, text, add);
    buffer[n + add] = '\0';
}

void PathTokenizer::init(const char* text, bool lower)
{
    path = text;
    length = uint32_t(strlen(text));
    lowerCase = lower;
    component[0] = '\0';
    more = false;
    pos = 0;
    valid = true;
    next();
}

bool PathTokenizer::next()
{
    if (!valid)
    {
        return false;
    }
    if (pos >= length)
    {
        return true;
    }
    uint32_t n = 0;
    while (pos + n < length && !isSeparator(path[pos + n]))
    {
        ++n;
    }
    if (n == 0 || n > MAX_NAME_LENGTH)
    {
        valid = false;
        return false;
    }
    memcpy(component, path + pos, n);
    component[n] = '\0';
    if (lowerCase)
    {
        for (uint32_t i = 0; i < n; ++i)
        {
            component[i] = lowerAscii(component[i]);
        }
    }
    if (pos + n < length)
    {
        pos += n + 1;
        more = true;
    }
    else
    {
        pos += n;
        more = false;
    }
    return true;
}
