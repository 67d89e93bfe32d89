// Masking of card data in the copy of a frame that is logged or shown; the bytes sent to the
// server or the terminal are never touched.
#pragma once

constexpr char kMaskFs = 0x1C;

// Masks card data in the log copy of a secure request: the four bytes before each of the first
// two '=' and the bytes from each such '=' up to the next FS become '*'.
void MaskCardData(char* work, int n);
