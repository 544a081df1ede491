#include "newupdatesystem/client/SelfUpdateBatch.h"

#include "newupdatesystem/client/SelfUpdateScript.h"

std::string batchQuote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
    {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || u < 0x20 || u == 0x7F)
            continue;
        if (c == '%')
            out += '%';
        out += c;
    }
    out += '"';
    return out;
}

std::string batchArgument(const std::string& text)
{
    bool plain = !text.empty();
    for (char c : text)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || c == '.');
    return plain ? text : batchQuote(text);
}

// Per file: delete the old file until it is gone (the launcher holds it open
// until it exits), then move the new one into the current folder.
std::string selfUpdateScriptHead()
{
    return std::string();
}

std::string selfUpdateScriptFileBlock(unsigned number, const std::string& folder, const std::string& fileName,
                                      const std::string& installedName)
{
    const std::string label = "Label" + std::to_string(number);
    const std::string target = batchQuote(installedName.empty() ? fileName : installedName);
    return ":" + label + "\n" + "del " + target + "\n" + "if exist " + target + " goto " + label + "\n" +
           "move /Y " + batchQuote(folder + fileName) + " .\\\n\n";
}

// Then the new launcher, waited for, and the folder with this file in it.
std::string selfUpdateScriptTail(const std::string& folder, const std::string& executableName,
                                 const std::string& realm)
{
    return batchQuote(executableName) + " /auto_realm " + batchArgument(realm) + "\n" + "rmdir /S /Q " +
           batchQuote(folder) + "\n";
}
