// The local list of an installation, kept in step with the disk: loaded from
// its list file, compared with a scan of the installation folder, corrected,
// and saved again after the update.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/FileList.h"

class CFileListSync : public CFileList
{
public:
    CFileListSync() = default;

    // Writes "Comparing '%s'" with the list file's path; other codes as the base.
    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override;

    // Loads listFile, cuts out the recheck patterns, scans folder and folds the
    // differences into the list: new and changed files are checksummed, files
    // and folders gone from disk leave the list. Without withChecksums a file
    // of unchanged size and time (within 2 seconds) is not read. With
    // tolerateLoadErrors a missing or damaged list file counts as empty.
    // Scan, read and pattern errors abort with the list keeping what was done.
    void syncWithDisk(const char* listFile, const char* folder, bool withChecksums, bool tolerateLoadErrors);

    // A given path becomes listPath; writes the list there (nothing while
    // listPath is empty).
    void save(const char* path = nullptr);

    std::string listPath;
    // Called before each file is checksummed, also by the scan; may raise to
    // abandon the synchronisation (a stop request).
    std::function<void()> checkpoint;
    ChangeList recheckPatterns; // examined afresh at every synchronisation
    ChangeList newerItems;      // what the disk has that the list lacked or held differently
    ChangeList olderItems;      // what the list had that the disk lacks or holds differently
    // The files the last scan passed over (log files), as found on disk: the
    // parts of interrupted downloads are among them.
    std::vector<std::string> passedOver;
};
