// A test-only switch that makes every dialog of the launcher observable: when
// the environment variable ZELVAN_DIALOG_LOG names a file, each dialog appends
// "caption|text" as one line there (line breaks as \n) and closes at once.
#pragma once

#include <string>

// True when the dialog was logged for a test instead of being shown.
bool logDialogForTest(const std::string& caption, const std::string& text);
