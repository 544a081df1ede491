// Sets environment variables for one test and restores the old values after.
#pragma once

#include "platform/Environment.h"
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class EnvironmentGuard
{
public:
    // Saves the named variables and unsets them.
    explicit EnvironmentGuard(std::initializer_list<const char*> names)
    {
        for (const char* name : names)
        {
            const char* value = std::getenv(name);
            m_saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            platform::unsetEnvironmentVariable(name);
        }
    }
    ~EnvironmentGuard()
    {
        for (const auto& [name, value] : m_saved)
        {
            if (value)
                platform::setEnvironmentVariable(name.c_str(), value->c_str());
            else
                platform::unsetEnvironmentVariable(name.c_str());
        }
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

    void set(const char* name, const char* value) { platform::setEnvironmentVariable(name, value); }
    void unset(const char* name) { platform::unsetEnvironmentVariable(name); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};
