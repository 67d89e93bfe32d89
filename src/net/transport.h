// TCP client transport to the payment server: connect with a 6 s bound, wait for readability,
// send all, receive exactly. Handles are signed 32-bit integers; -1 means failed.
#pragma once

// Connects to host (dotted IPv4 text, never looked up as a name) and port. Starts the socket
// library; returns the connected handle (17 s receive time-out) or -1. After
// CancelPendingConnects it fails at once.
int ConnectServer(int bLog, const char* host, int port);
// Any thread (the one that handles the stop signals): wakes a ConnectServer under way, which
// returns -1 at once, and makes every later ConnectServer fail at once. The program is stopping;
// there is no way back.
void CancelPendingConnects();
// 1 readable (end of stream included), 0 time-out, -1 error.
int WaitReadable(int handle, int seconds);
// Same, with the time-out in milliseconds (tests and shutdown paths).
int WaitReadableMs(int handle, int milliseconds);
// 1 when every byte went out; -1 after logging the Write Error line, also when the server took
// no byte for 17 s (a server that stops reading cannot hold the sender longer).
int SendAll(int bLog, int handle, const char* bytes, int length);
// One send that does not wait, for a caller with something to do between the first try and
// the rest (which then goes through SendAll): the bytes that went out, 0 when the server's
// buffers are full, or -1 with the error number in *error for SendError.
int SendNow(int handle, const char* bytes, int length, int* error);
// Logs the Write Error line of a failed SendNow; returns -1.
int SendError(int bLog, int error);
// 1 when exactly length bytes arrived within 17 s in all; -1 after logging the Read Error line
// (end of stream, error, or the 17 s ran out however the bytes trickled in).
int RecvExact(int bLog, int handle, char* buffer, int length);
// Same, within boundMs in all (a part of an answer whose bound began before this call; 0 or
// less: only what has already arrived).
int RecvExactWithin(int bLog, int handle, char* buffer, int length, int boundMs);
// One receive of at most length bytes, waiting up to 17 s for the first: count, 0 at end of
// stream, -1 on error or time-out.
int RecvSome(int handle, char* buffer, int length);
// Wakes every thread that waits or receives on the handle; the handle stays valid.
void ShutdownServer(int handle);
// Closes the handle and releases the socket library started by its ConnectServer.
void CloseServer(int handle);
// Releases the socket library after a ConnectServer that returned -1.
void ReleaseSocketLibrary();

// The 17 s above (no progress of a send; one RecvExact in all), in milliseconds. Tests and
// fuzzers shorten it to meet slow servers quickly; the program keeps 17000.
void SetTransferTimeoutMs(int milliseconds);
int TransferTimeoutMs();
