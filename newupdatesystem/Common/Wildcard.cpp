#include "newupdatesystem/Common/Wildcard.h"

#include <cstring>
#include <vector>

namespace
{
char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool sameRun(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// First place at or after from where run occurs in name; null when none.
const char* findRun(const char* from, const char* run, size_t n)
{
    for (const char* p = from; *p; ++p)
    {
        if (sameRun(p, run, n))
            return p;
    }
    return nullptr;
}

class Matcher
{
public:
    Matcher(const char* name, const char* pattern)
        : m_name(name), m_pattern(pattern), m_nameLength(std::strlen(name)),
          m_patternLength(std::strlen(pattern))
    {
    }

    bool match(const char* n, const char* p)
    {
        for (;;)
        {
            bool anchored = true;
            while (*p == '?' || *p == '*')
            {
                if (*p == '*')
                {
                    anchored = false;
                }
                else
                {
                    if (*n == 0)
                        return false; // `?` takes exactly one character
                    ++n;
                }
                ++p;
            }
            if (*p == 0)
                return *n == 0 || !anchored;

            const size_t runLength = std::strcspn(p, "*?");
            if (anchored)
            {
                if (!sameRun(n, p, runLength)) // stops at the end of the name
                    return false;
                n += runLength;
                p += runLength;
                continue;
            }

            // The outcome of a try depends only on where it starts in name and
            // pattern; remembering the failed starts keeps patterns with many
            // stars from taking exponential time.
            for (const char* at = findRun(n, p, runLength); at; at = findRun(at + runLength, p, runLength))
            {
                const char* restName = at + runLength;
                const char* restPattern = p + runLength;
                if (!failedBefore(restName, restPattern))
                {
                    if (match(restName, restPattern))
                        return true;
                    markFailed(restName, restPattern);
                }
            }
            return false;
        }
    }

private:
    size_t slot(const char* n, const char* p) const
    {
        return size_t(n - m_name) * (m_patternLength + 1) + size_t(p - m_pattern);
    }
    bool failedBefore(const char* n, const char* p) const
    {
        return !m_failed.empty() && m_failed[slot(n, p)];
    }
    void markFailed(const char* n, const char* p)
    {
        if (m_failed.empty())
            m_failed.assign((m_nameLength + 1) * (m_patternLength + 1), false);
        m_failed[slot(n, p)] = true;
    }

    const char* m_name;
    const char* m_pattern;
    size_t m_nameLength;
    size_t m_patternLength;
    std::vector<bool> m_failed;
};
} // namespace

bool wildcardMatch(const char* name, const char* pattern)
{
    Matcher matcher(name, pattern);
    return matcher.match(name, pattern);
}
