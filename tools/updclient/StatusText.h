// The launcher's English texts for results and events, so the tool reports a
// job the way the launcher would.
#pragma once

#include "newupdatesystem/client/UpdClient.h"

inline const char* statusText(int status)
{
    switch (status)
    {
    case UPD_OK:
        return "Update completed successfully.";
    case UPD_SELF_UP_TO_DATE:
        return "Self update is not required.";
    case UPD_CONNECT_FAILED:
        return "Error connecting to the server.";
    case UPD_NETWORK_ERROR:
        return "Network connection error";
    case UPD_PROTO_VERSION:
        return "Wrong network protocol version! Please manually update update-system.";
    case UPD_AUTH_FAILED:
        return "Server authorization failure.";
    case UPD_SERVER_REFUSED:
        return "The server is temporarily down for maintenance.";
    case UPD_PROTO_ERROR:
        return "Data transfer protocol error. Please refer to the developers.";
    case UPD_READ_ERROR:
        return "Data read error.";
    case UPD_WRITE_ERROR:
        return "Error writing data to disk. Check access rights and the availability of free space.";
    case UPD_MODIFY_ERROR:
        return "Error updating data on disk. Check access rights.";
    case UPD_SYSTEM_ERROR:
        return "Error working with operating system. Please refer to the developers.";
    case UPD_DATA_CORRUPTED:
        return "Data compression error. Please refer to the developers.";
    case UPD_LAUNCH_FAILED:
        return "Error starting client. Please refer to the developers.";
    default:
        return "Internal application error. Please refer to the developers.";
    }
}

// Beside status 13 when a trusted key is set: the log says which check failed.
inline constexpr const char* kReleaseRefusedText =
    "The update was refused: the server's release is not signed by the trusted key, is older than the one "
    "installed, has expired or does not match its files. Nothing was changed.";

inline const char* eventText(int event)
{
    switch (event)
    {
    case UPD_EVENT_SCANNING:
        return "Scanning files (may take several minutes)";
    case UPD_EVENT_CONNECTING:
        return "Connecting to server";
    case UPD_EVENT_BUILDING_LIST:
        return "Building an update filelist";
    case UPD_EVENT_FILE_REQUEST:
        return "Downloading file:";
    case UPD_EVENT_FILE_RECEIVED:
        return "Decompressing file:";
    case UPD_EVENT_CREATING_FOLDERS:
        return "Creating folders";
    case UPD_EVENT_DELETING:
        return "Deleting unnecessary files";
    case UPD_EVENT_SAVING_LIST:
        return "Saving filelist";
    default:
        return "Ready to work";
    }
}
