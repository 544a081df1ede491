// A user interface that records what the launcher asked of it.
#pragma once

#include "launcher/AppSeams.h"

#include <functional>
#include <string>
#include <vector>

class RecordingUi : public IAppUi
{
public:
    struct Box
    {
        std::string caption;
        std::string text;
    };

    void showMessageBox(const std::string& caption, const std::string& text) override
    {
        boxes.push_back(Box{caption, text});
    }

    void runMainWindow(const std::string& autoRealm) override
    {
        windows.push_back(autoRealm);
        if (onWindow)
            onWindow();
    }

    std::vector<Box> boxes;
    std::vector<std::string> windows;
    std::function<void()> onWindow; // runs while the window would be open
};
