// Sets environment variables for one test and restores the old values after.
#pragma once

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
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    ~EnvironmentGuard()
    {
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

    void set(const char* name, const char* value) { setenv(name, value, 1); }
    void unset(const char* name) { unsetenv(name); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};
