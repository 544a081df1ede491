// Error numbers and their texts. The update system keeps WinSock numbering in
// its socket errors (the protocol and the log texts are built on it), so the
// socket layer turns errno values into WinSock numbers here, through one table.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

// The WinSock number for an errno value. EWOULDBLOCK, EAGAIN and EINPROGRESS all
// become WSAEWOULDBLOCK (10035), which is what a non-blocking WinSock call
// reports while an operation is pending; EPIPE becomes WSAECONNRESET. An errno
// without a WinSock counterpart is returned unchanged (it stays below 10000);
// 0 stays 0.
int32_t winsockFromErrno(int err);

// The errno value a WinSock number maps from (WSAEINPROGRESS gives EINPROGRESS,
// WSAEWOULDBLOCK gives EWOULDBLOCK); 0 when there is none.
int errnoFromWinsock(int32_t wsa);

// The WinSock number of a resolver failure (h_errno: HOST_NOT_FOUND gives
// WSAHOST_NOT_FOUND 11001, TRY_AGAIN 11002, NO_RECOVERY 11003, NO_DATA 11004);
// any other value gives WSAHOST_NOT_FOUND.
int32_t winsockFromHostError(int herr);

// The calling thread's last socket error, a WinSock number (WSAGetLastError).
// Each thread has its own; it starts at 0.
int32_t getLastSocketError();
void setLastSocketError(int32_t wsa);

// The calling thread's last operating-system error; on this platform its errno.
int32_t getLastError();
void setLastError(int32_t err);

// Sets out to the system's message text for an error number: for an errno value
// its strerror text; for a WinSock number (isWinsock) the strerror text of the
// errno it maps from (resolver numbers 11001-11004 get the resolver's text, and
// numbers below 10000 are taken as errno values passed through). When the system
// has no text, out becomes "Missing error text" and the result is false.
bool systemMessageText(int32_t number, bool isWinsock, std::string& out);

// The C library's message for an errno value, whatever it says for the
// number; safe on any thread.
std::string errnoMessage(int err);

inline constexpr const char* kMissingErrorText = "Missing error text";

} // namespace platform
