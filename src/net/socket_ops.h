// What each platform file gives the transport's shared loops (transport.cpp): one send and one
// receive that never wait, and the error numbers. Not for use outside src/net.
#pragma once
#include "net/transport.h"

#include <cstdint>

namespace socket_ops {

// The count (0 or more), or -1 with the error in LastError().
int SendOnce(std::intptr_t handle, const char* bytes, int length);
// The count, 0 at end of stream, or -1 with the error in LastError().
int RecvOnce(std::intptr_t handle, char* buffer, int length);

int LastError();             // errno or WSAGetLastError()
bool WouldBlock(int error);  // nothing could be taken now: wait and try again
int TimedOutError();         // what a receive time-out of the socket itself reports
int InvalidArgumentError();
NetStatus StatusOf(int error);  // what a failed call's error number means

}  // namespace socket_ops
