// What each platform file gives the transport's shared loops (transport.cpp): one send, one
// receive, one wait, and the error numbers the log lines show. Not for use outside src/net.
#pragma once

namespace socket_ops {

// One send that takes what fits now and never waits: the count (0 or more), or -1 with the
// error in LastError().
int SendOnce(int handle, const char* bytes, int length);
// One receive that takes what has arrived and never waits: the count, 0 at end of stream, or -1
// with the error in LastError().
int RecvOnce(int handle, char* buffer, int length);
// Waits until the handle is readable (end of stream and errors included) or, with forWrite,
// writable; milliseconds < 0 waits without bound. 1 ready, 0 time-out, -1 error. A handle that
// ShutdownServer has shut counts as ready: the next call reports the end.
int Wait(int handle, bool forWrite, int milliseconds);

int LastError();                 // errno or WSAGetLastError()
bool WouldBlock(int error);      // nothing could be taken now: wait and try again
int TimedOutError();             // what a receive time-out of the socket itself reports
int InvalidArgumentError();

}  // namespace socket_ops
