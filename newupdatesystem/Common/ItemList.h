// Path patterns: parsed from text, one a line, and cut out of file lists.
#pragma once

#include <cstdint>

class ChangeList;
class CFileList;

// Appends one pattern for every line of text: a line ending in `/` or `\` is a
// folder pattern, any other a file pattern; empty lines and lines starting
// with ';' are skipped. Lines end in "\r\n" or "\n". length 0: up to the
// terminating zero.
void parseItemList(ChangeList& list, const char* text, uint32_t length);

// Removes from the list every entry a pattern matches: folder patterns remove
// folders with their contents, file patterns files. FLIST_WRONG_FNAME for a
// pattern with an empty component; what was removed before it stays removed.
void exclude(CFileList& list, const ChangeList& patterns);
