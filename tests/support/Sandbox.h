// Test fixtures shared by all areas: a private current folder per test and a
// deadline-bounded wait for a condition.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

// A fresh temporary folder made the current folder for one test; the previous
// current folder is restored and the temporary one deleted afterwards.
class Sandbox
{
public:
    Sandbox()
    {
        m_previous = std::filesystem::current_path();
        m_folder = makeFolder();
        std::filesystem::current_path(m_folder);
    }
    ~Sandbox()
    {
        std::error_code ec;
        std::filesystem::current_path(m_previous, ec);
        std::filesystem::remove_all(m_folder, ec);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& path() const { return m_folder; }

private:
    // A new folder of a random name that only we may enter.
    static std::filesystem::path makeFolder()
    {
        namespace fs = std::filesystem;
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            char name[32];
            std::snprintf(name, sizeof name, "upd-test-%012llx",
                          static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
            fs::path candidate = fs::temp_directory_path() / name;
            std::error_code ec;
            if (fs::create_directory(candidate, ec))
            {
                fs::permissions(candidate, fs::perms::owner_all, ec);
                return candidate;
            }
        }
        throw std::runtime_error("cannot make a temporary folder");
    }

    std::filesystem::path m_previous;
    std::filesystem::path m_folder;
};

// A GoogleTest fixture that runs each test in its own Sandbox.
class SandboxTest : public ::testing::Test
{
protected:
    Sandbox m_sandbox;
};

// Polls the condition until it holds or the deadline passes; true when it held.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
