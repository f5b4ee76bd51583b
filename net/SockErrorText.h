// Socket error numbers and their texts.
//
// The client reports socket errors in one numbering (10061 for a refused connection, 11001 for
// an unknown host, ...), whatever the system's own numbers are; SocketErrorCode is the one place
// that maps a system errno onto it. Pure functions, any thread.
#pragma once

#include <string>

namespace tavrin::net {

// Codes the client itself tests for.
inline constexpr int kWouldBlock = 10035;
inline constexpr int kConnRefused = 10061;

// Maps a system errno onto the client's numbering; an errno with no counterpart is returned as is.
int SocketErrorCode(int systemErrno);

// "" for 0, "<code>:<text>" for a known code, "Unknown Error No. <code>" otherwise.
std::string SocketErrorText(int code);

// The reason alone, as words within a sentence: "connection refused" for 10061, "an unknown
// error" for a code without a text. The number is for a transcript, not for the user.
std::string SocketErrorWords(int code);

// A failure text as the user reads it: "10054:Connection reset by peer" becomes "connection reset
// by peer"; a text without a leading error number is returned as it is.
std::string WithoutErrorNumber(const std::string& text);

}  // namespace tavrin::net
