#include "newupdatesystem/Common/ItemList.h"

#include <cstring>
#include <string_view>

#include "newupdatesystem/Common/ChangeList.h"

namespace
{
void copyLine(char* out, std::string_view line)
{
    const size_t n = std::min(line.size(), MAX_PATH_LENGTH);
    std::memcpy(out, line.data(), n);
    out[n] = 0;
    normalizePath(out);
}

void applyPattern(CFileList& list, const char* pattern)
{
    list.onListEvent(LE_EXCLUDE, pattern, nullptr);
    PathTokenizer tokenizer(pattern, false);
    list.modifyRecursive(list.root, tokenizer, true, 0, 0xFFFFFFFFu);
}
} // namespace

void parseItemList(ChangeList& list, const char* text, uint32_t length)
{
    if (text == nullptr)
        return;
    const std::string_view all(text, length != 0 ? length : std::strlen(text));
    size_t pos = 0;
    // Where the next "\r\n" lies; a nearer lone "\n" does not end the line
    // when a "\r\n" follows further on.
    size_t crlf = all.find("\r\n");
    while (pos < all.size())
    {
        if (crlf != std::string_view::npos && crlf < pos)
            crlf = all.find("\r\n", pos);
        size_t end;
        size_t next;
        if (crlf != std::string_view::npos)
        {
            end = crlf;
            next = crlf + 2;
        }
        else if ((end = all.find('\n', pos)) != std::string_view::npos)
        {
            next = end + 1;
        }
        else
        {
            end = all.size();
            next = end;
        }
        std::string_view line = all.substr(pos, end - pos);
        pos = next;

        if (line.empty() || line[0] == ';')
            continue;
        if (line.back() == '/' || line.back() == '\\')
        {
            if (!list.collectFolders)
                continue;
            line.remove_suffix(1);
            FolderChange& item = list.folderItems.emplace_back();
            copyLine(item.path, line);
            item.kind = ChangeKind::Old;
        }
        else if (list.collectFiles)
        {
            FileChange& item = list.fileItems.emplace_back();
            copyLine(item.path, line);
            item.kind = ChangeKind::Old;
        }
    }
}

void exclude(CFileList& list, const ChangeList& patterns)
{
    if (patterns.collectFolders)
    {
        for (const FolderChange& item : patterns.folderItems)
        {
            char pattern[PATH_BUFFER_SIZE];
            pathCopy(pattern, item.path);
            addTrailingSlash(pattern);
            applyPattern(list, pattern);
        }
    }
    if (patterns.collectFiles)
    {
        for (const FileChange& item : patterns.fileItems)
            applyPattern(list, item.path);
    }
}
