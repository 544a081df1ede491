// filelist: inspects and makes binary file lists ("Files.lst", the server's
// lists).
//   filelist dump FILE                  prints the folders and files of a list
//   filelist scan DIR OUT [--checksums] writes the list of a folder

#include <cinttypes>
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/LogControl.h"
#include "platform/Console.h"
#include "tools/common/Version.h"

namespace
{
const char* listCodeName(int32_t code)
{
    static const char* const names[] = {
        "FLIST_OPEN_NOT_A_LIST", "FLIST_OPEN_VERSION", "FLIST_OPEN_CORRUPTED", "FLIST_READ",
        "FLIST_WRITE",           "FLIST_SCAN",         "FLIST_CALC_CRC",       "FLIST_UPDATE_FILE",
        "FLIST_NOT_FOUND",       "FLIST_ADD_DIR",      "FLIST_REMOVE_FILE",    "FLIST_REMOVE_DIR",
        "FLIST_WRONG_FNAME",
    };
    return code >= 0 && code < int32_t(std::size(names)) ? names[code] : "FLIST_?";
}

void reportError(const std::string& text, const CExcep& e)
{
    std::fflush(stdout);
    std::fprintf(stderr, "filelist: %s (%s)\n", text.c_str(), e.formatSource().c_str());
}

void reportError(const CSystemExcep& e)
{
    std::string text = std::string(e.codeName()) + " '" + e.subject + "'";
    std::string reason;
    if (e.errorText(reason))
        text += ": " + reason;
    reportError(text, e);
}

// Shows how far a checksum scan has come when someone watches the terminal.
class ProgressList : public CFileList
{
public:
    explicit ProgressList(bool show) : m_show(show) {}

    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override
    {
        if (code == LE_CHECKSUM && m_show && ++m_done % 100 == 0)
            std::fprintf(stderr, "\r%u files checksummed", m_done);
        CFileList::onListEvent(code, path, info);
    }

    void finish()
    {
        if (m_show && m_done >= 100)
            std::fprintf(stderr, "\r%u files checksummed\n", m_done);
    }

private:
    bool m_show;
    uint32_t m_done = 0;
};

int dump(const std::string& file)
{
    CFileList list;
    list.createFromFile(file.c_str());
    ChangeList items;
    collectAll(list, items);
    printFolders(items);
    printFiles(items, KIND_OLD | KIND_MOD | KIND_ADD);
    std::printf("%u files, %u folders, %" PRIu64 " bytes\n", list.fileCount, list.folderCount,
                list.totalSize);
    return 0;
}

int scan(const std::string& folder, const std::string& out, bool checksums)
{
    ProgressList list(checksums && platform::consoleIsTerminal(stderr));
    list.scan(folder.c_str(), checksums);
    list.finish();
    list.buildBin();
    list.saveToFile(out.c_str());
    std::printf("%u files, %u folders, %" PRIu64 " bytes; %u bytes written to %s\n", list.fileCount,
                list.folderCount, list.totalSize, list.imageSize(), out.c_str());
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Inspects and makes binary file lists (Files.lst, server lists)."};
    app.require_subcommand(1);

    std::string dumpFile;
    CLI::App* dumpCmd = app.add_subcommand("dump", "Print the folders and files of a list, then its counts");
    dumpCmd->add_option("FILE", dumpFile, "the list file")->required();

    std::string scanDir;
    std::string scanOut;
    bool checksums = false;
    CLI::App* scanCmd = app.add_subcommand("scan", "Write the list of a folder and everything below it");
    scanCmd->add_option("DIR", scanDir, "the folder to scan")->required();
    scanCmd->add_option("OUT", scanOut, "the list file to write")->required();
    scanCmd->add_flag("--checksums", checksums, "compute the MD5 checksum of every file");

    std::string logDir;
    app.add_option("--log-dir", logDir,
                   "also write the daily log file into this folder (default: no log file)")
        ->check(CLI::ExistingDirectory);
    app.set_version_flag("--version", std::string("filelist ") + UPD_VERSION);
    CLI11_PARSE(app, argc, argv);

    // Listings go to stdout as plain lines; warnings to stderr; a log file
    // only when asked for.
    if (logDir.empty())
        logStop();
    else
        logSetFolder(logDir);
    logSetConsoleStream(dumpCmd->parsed() ? stdout : stderr);
    try
    {
        if (dumpCmd->parsed())
            return dump(dumpFile);
        return scan(scanDir, scanOut, checksums);
    }
    catch (const CSystemExcep& e)
    {
        reportError(e);
        return 1;
    }
    catch (const CFileListExcep& e)
    {
        reportError(listCodeName(e.code), e);
        return 1;
    }
    catch (const CExcep& e)
    {
        reportError("error " + std::to_string(e.code), e);
        return 1;
    }
    catch (const std::exception& e)
    {
        std::fflush(stdout);
        std::fprintf(stderr, "filelist: %s\n", e.what());
        return 1;
    }
}
