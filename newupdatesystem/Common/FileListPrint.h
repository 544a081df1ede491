// Printing a ChangeList to the log and applying it to the disk. Paths on disk
// are the root folder, a separator and the item's path.
#pragma once

#include <cstdint>

class ChangeList;

// Kind filter bits: bit k selects file items of ChangeKind k.
constexpr uint32_t KIND_OLD = 1;
constexpr uint32_t KIND_MOD = 2;
constexpr uint32_t KIND_ADD = 4;

// The title line (when given), the folder items, then the selected file items.
void print(const ChangeList& items, const char* title, uint32_t kindFilter);
void printFolders(const ChangeList& items);
void printFiles(const ChangeList& items, uint32_t kindFilter);

// Creates every folder item's folder, parents first; an existing folder is no
// error. DIR_CREATE passes on and stops the work.
void createFolders(const ChangeList& items, const char* root);
// Deletes the file of every selected file item (write protection removed
// first). With ignoreErrors a failure is logged and the next item follows.
void deleteFiles(const ChangeList& items, const char* root, uint32_t kindFilter, bool ignoreErrors);
// Removes the folder of every folder item, inner folders first.
void deleteFolders(const ChangeList& items, const char* root, bool ignoreErrors);
