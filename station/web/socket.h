// The few socket calls the connection layer makes beyond the HTTP library:
// waiting for a socket with a timeout, one receive, one send, the peer's
// address, and a refusal sent without waiting. One declaration here, one
// definition per system (socket_posix.cpp, socket_windows.cpp), chosen by
// the build. Not here: HTTP.
#pragma once

#include <cstddef>
#include <string>

#include "station/web/http.h"

namespace station::web::net {

using Socket = socket_t;

enum class Ready { kYes, kTimeout, kError };
// Waits up to timeoutMs (0: just looks) for data, an end or an error to
// read, or for room to write.
Ready Wait(Socket s, bool forWrite, int timeoutMs);
// One recv/send; the count, 0 at the peer's end (recv), -1 on an error.
long Receive(Socket s, char* buffer, std::size_t size);
long Send(Socket s, const char* data, std::size_t size);
// The address and port at either end of a connection.
void Address(Socket s, bool local, std::string* ip, int* port);
// Sends what fits of text at once (never waits: the peer may be the
// flooding kind) and closes.
void RefuseAndClose(Socket s, const std::string& text);
// The last socket error as text, for a failed bind.
std::string LastError();

}  // namespace station::web::net
