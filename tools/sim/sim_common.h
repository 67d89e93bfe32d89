// Helpers shared by the terminal and server simulators: escaped text on the command line,
// printable renderings of bytes, elapsed-time stamps and the SIGINT/SIGTERM descriptor.
#pragma once
#include <chrono>
#include <cstddef>
#include <string>

namespace sim {

// "\x02", "\r", "\n", "\t", "\\" and "\e" (ESC) in command-line text; false on a bad escape.
bool Unescape(const std::string& text, std::string* bytes);
// Hex digits (spaces allowed) to bytes; false when malformed.
bool FromHex(const std::string& text, std::string* bytes);
// Bytes as readable text: control characters by name ("<STX>", "<ACK>") or "<xx>", at most
// maxShown bytes followed by "..." when longer.
std::string Printable(const void* bytes, std::size_t n, std::size_t maxShown = 120);

// Milliseconds since the program started, as "+  123.4 ms".
std::string Stamp();
double ElapsedMs();

// Blocks SIGINT and SIGTERM and returns a signalfd that becomes readable when one arrives.
int TerminationFd();

// Parses "a.b.c.d:port" in 127.0.0.0/8 only (the simulators never touch another network).
bool ParseLoopback(const std::string& text, std::string* host, int* port);

}  // namespace sim
