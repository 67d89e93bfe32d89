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
// - card numbers written as digits: a run of digits goes on over up to three bytes that are
//   neither letters nor digits (blanks, punctuation, control bytes, bytes above 0x7F) between
//   groups ("4111 1111 1111 1111", "4532.0151.1283.0366", "4532\r\n0151..."), but not over '=',
//   '^' or the bytes that part fields (STX, ETX, FS, GS, RS, US). When any window of 13 to 19
//   digits in the run passes the Luhn check, the run shows its first six digits only, and its
//   last four when it has 19 digits or fewer, whatever stands before or after the number in it
//   (a length prefix, zero padding, an expiry date in the same fixed field); only digits become
//   '*';
// - track data: when a track separator ('=' or 'D' / 'd' of track 2 and its chip equivalent, '^'
//   of track 1) follows such a run, or any run of 12 digits or more (a number failing the
//   check), right behind it or behind up to three blanks or punctuation, the run is hidden so
//   too, and the separator and the rest of its field are hidden, up to the
//   next FS or ETX or the end of the n bytes; track 1 without a number ("^NAME^" then digits):
//   everything behind the second '^' to the end of its field;
// - chip records written as hex text, "57" or "9F6B" (track 2 equivalent, contact and
//   contactless) or "5A" (card number), a two-digit hex length and 12 to 19 digits (then 'D' /
//   'd' for a track, 'F' padding for 5A), Luhn or not: the digits but the first six and last
//   four, and for a track everything from the 'D' to the end of the record;
// - the same records in binary: tag 0x57, 0x9F 0x6B or 0x5A, a length byte and packed decimal
//   digits (nibble D ends the card number of a track, nibble F pads): every byte holding a
//   hidden digit or a nibble from the D on becomes one '*', so the count of bytes stays;
// - packed digits outside these tags: a run of seven bytes or more whose nibbles are all digits
//   or D (an F may pad the last byte), not all text (printable ASCII, STX, ETX, CR), is read as
//   digits: every byte holding a digit hidden by a Luhn window (unless its bytes are mostly
//   ASCII digits), and after 12 digits or more and a D, every byte to the end of the run (binary
//   data that looks so is hidden too).
// Uses no heap.
void MaskCardData(char* work, int n);
