// Ids of the texts the launcher shows, as the built-in table and the language
// files number them.
#pragma once

#include <cstdint>

namespace text_id
{
constexpr int32_t ALREADY_RUNNING = 151;
// Result texts: STATUS_BASE + an update status (1-15); INTERNAL_ERROR otherwise.
constexpr int32_t STATUS_BASE = 155;
constexpr int32_t INTERNAL_ERROR = 170;
constexpr int32_t TIME_REMAINING = 171;
constexpr int32_t ERROR_CAPTION = 172;
constexpr int32_t SCANNING = 173;
constexpr int32_t CONNECTING = 174;
constexpr int32_t BUILDING_LIST = 175;
constexpr int32_t TRANSFER_RATE = 176;
constexpr int32_t DOWNLOADING = 177;
constexpr int32_t DECOMPRESSING = 178;
constexpr int32_t CREATING_FOLDERS = 179;
constexpr int32_t DELETING = 180;
constexpr int32_t SAVING_LIST = 181;
constexpr int32_t READY = 182;
constexpr int32_t WINDOW_TITLE = 188;
constexpr int32_t DIRECTX_TOO_OLD = 190;
constexpr int32_t WARNING_CAPTION = 191;
constexpr int32_t DIRECTX_DOWNLOAD = 192;
constexpr int32_t NO_CONNECTION = 195;
constexpr int32_t GAME_STARTING = 196;
// Texts of the player's extras; a language file without them gets the built-in ones.
// "%s" marks where a value goes (fillPattern).
constexpr int32_t RETRY_COUNTDOWN = 197;
constexpr int32_t NO_SPACE_NEEDED = 198;
constexpr int32_t DISK_FULL_AT = 199;
constexpr int32_t READ_ONLY_AT = 200;
constexpr int32_t FILE_FAILED_AT = 201;
constexpr int32_t LOG_FILE_AT = 202;
constexpr int32_t DOWNLOADED = 203;
constexpr int32_t INSTALLED_RELEASE = 204;
// Shown instead of status 13's text when a trusted key refused the release.
constexpr int32_t RELEASE_REFUSED = 205;
} // namespace text_id
