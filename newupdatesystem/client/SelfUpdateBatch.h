// The Windows form of the self-update script: a batch file for cmd.exe. The
// script functions of SelfUpdateScript.h produce its lines on Windows.
#pragma once

#include <string>

// A text in double quotes for a batch line. Inside quotes cmd takes & | < > ^
// literally but still expands %, so each % is doubled. A double quote or a
// control character would end the quoting and cannot be written at all: they
// are left out (no Windows file name holds one).
std::string batchQuote(const std::string& text);

// An argument that cmd passes on unchanged: as it is when it holds only
// letters, digits and - _ . (the usual realm names), else quoted.
std::string batchArgument(const std::string& text);
