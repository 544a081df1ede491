// Signed releases, an extension of the streaming transfer. The server offers
// it with a bit in the version word of its "Init" answer when the release it
// serves carries a signed manifest; a client that holds a trusted key then
// asks for the manifest as one more list by "SLst", before it uses any other.
#pragma once

#include <cstdint>

// In the server's version word, beside SERVER_OFFERS_STREAM.
inline constexpr uint32_t SERVER_OFFERS_SIGNED = 0x08000000;

// The name under which "SLst" fetches the signed manifest.
inline constexpr const char* kSignedReleaseList = "release";

// The signed manifest's file in the root of the served folder, written there
// by "updctl sign"; it is neither listed nor served as a file.
inline constexpr const char* kSignedReleaseFile = "release.updsig";
