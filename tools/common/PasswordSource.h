// Where a tool takes its login password from. A password on the command line
// can be read by every user of the machine in the process table, so a file
// or the environment comes first: --password-file (its first line), then the
// variable UPD_PASSWORD, then --password, with a warning.
#pragma once

#include <string>

// The password to use (empty when none is given). False, with the reason in
// error, when the file cannot be read or holds more than one short line.
bool choosePassword(const std::string& file, const std::string& given, std::string& password,
                    std::string& error);
