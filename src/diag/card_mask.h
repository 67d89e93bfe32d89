// Masking of card data in the copy of a frame that is logged or shown; the bytes sent to the
// server or the terminal are never touched.
#pragma once

constexpr char kMaskFs = 0x1C;
constexpr char kMaskEtx = 0x03;

// The most bytes MaskCardData looks into; bytes beyond are all hidden (no caller passes more:
// frames and answers are at most 5120 bytes).
constexpr int kMaskMaxBytes = 8192;

// Masks card data in the log copy of a request or an answer, in place, over all n bytes (a NUL
// inside does not stop it). Only ever turns bytes other than NUL into '*', so the logged text
// keeps its length and every byte that is not card data. Every rule looks at the bytes as they
// came; what they hide adds up. What it hides:
// - the four bytes before each of the first two '=' and the bytes from each such '=' up to the
//   next FS, when the first '=' lies after position 10 and before n - 3 (the request log's
//   long-standing rule; its searches stop at the first NUL);
// - card numbers written as digits: in every run of digits (single spaces or dashes between
//   groups of digits belong to the run: "4111 1111 1111 1111", "5500-0055-5555-5559"), every
//   window of 13 to 19 digits that passes the Luhn check shows its first six and last four digits
//   only, whatever stands before or after it in the run (a length prefix, zero padding, an
//   expiry date in the same fixed field);
// - track data: when such a window ends the run and a track separator follows ('=' or 'D' / 'd'
//   of track 2 and its chip equivalent, '^' of track 1), the separator and the rest of its field,
//   up to the next FS or ETX or the end of the n bytes;
// - chip records written as hex text, "57" or "9F6B" (track 2 equivalent, contact and
//   contactless) or "5A" (card number), a two-digit hex length and 12 to 19 digits (then 'D' /
//   'd' for a track, 'F' padding for 5A), Luhn or not: the digits but the first six and last
//   four, and for a track everything from the 'D' to the end of the record;
// - the same records in binary: tag 0x57, 0x9F 0x6B or 0x5A, a length byte and packed decimal
//   digits (nibble D ends the card number of a track, nibble F pads): every byte holding a
//   hidden digit or a nibble from the D on becomes one '*', so the count of bytes stays.
// Uses no heap.
void MaskCardData(char* work, int n);
