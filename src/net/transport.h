// TCP client transport to the payment server: connect with a 6 s bound, wait for readability,
// send all, receive exactly. Handles are signed 32-bit integers; -1 means failed.
#pragma once

// Connects to host (dotted IPv4 text, never looked up as a name) and port. Starts the socket
// library; returns the connected blocking handle (17 s receive time-out) or -1.
int ConnectServer(int bLog, const char* host, int port);
// 1 readable (end of stream included), 0 time-out, -1 error.
int WaitReadable(int handle, int seconds);
// Same, with the time-out in milliseconds (tests and shutdown paths).
int WaitReadableMs(int handle, int milliseconds);
// 1 when every byte went out; -1 after logging the Write Error line.
int SendAll(int bLog, int handle, const char* bytes, int length);
// 1 when exactly length bytes arrived; -1 after logging the Read Error line (EOF or errno).
int RecvExact(int bLog, int handle, char* buffer, int length);
// One receive call of at most length bytes: count, 0 at end of stream, -1 on error.
int RecvSome(int handle, char* buffer, int length);
// Wakes every thread that waits or receives on the handle; the handle stays valid.
void ShutdownServer(int handle);
// Closes the handle and releases the socket library started by its ConnectServer.
void CloseServer(int handle);
// Releases the socket library after a ConnectServer that returned -1.
void ReleaseSocketLibrary();
// The platform's last socket error code (errno or WSAGetLastError).
int LastSocketError();
