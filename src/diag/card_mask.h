// Masking of card data in the copy of a frame that is logged or shown; the bytes sent to the
// server or the terminal are never touched.
#pragma once

constexpr char kMaskFs = 0x1C;
constexpr char kMaskEtx = 0x03;

// Masks card data in the log copy of a request or an answer, in place, over all n bytes (a NUL
// inside does not stop it). Only ever turns bytes other than NUL into '*', so the logged text
// keeps its length and every byte that is not card data. What it hides:
// - the four bytes before each of the first two '=' and the bytes from each such '=' up to the
//   next FS, when the first '=' lies after position 10 and before n - 3 (the request log's
//   long-standing rule; its searches stop at the first NUL);
// - in every run of 13 to 19 digits that passes the Luhn check (a card number), every digit but
//   the first six and the last four;
// - after such a run, a track separator ('=' or 'D' of track 2, '^' of track 1) and the rest of
//   its field, up to the next FS or ETX or the end of the n bytes (track data: the cardholder's
//   name on track 1, expiry date, service code, ...).
// Uses no heap.
void MaskCardData(char* work, int n);
