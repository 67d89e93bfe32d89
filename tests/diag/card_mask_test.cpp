// Card data in the logged copy of requests and answers: the long-standing rule of the request
// log, card numbers wherever they stand, and the track data after them.
#include "diag/card_mask.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// As the relay does it: a zero-filled 5120-byte copy of the frame, masked in place.
std::string Masked(const std::string& frame) {
    char work[5120] = {};
    frame.copy(work, frame.size());
    MaskCardData(work, static_cast<int>(frame.size()));
    EXPECT_EQ(work[frame.size()], '\0');
    return std::string(work, frame.size());
}

// Digits packed two to a byte, with the nibbles of `tail` (hex text) behind them.
std::string Packed(const std::string& hexText) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hexText.size(); i += 2)
        out += static_cast<char>(std::stoi(hexText.substr(i, 2), nullptr, 16));
    return out;
}

TEST(MaskCardData, MasksFourBytesBeforeEqualsAndTheFieldUpToFs) {
    // 60 bytes, '=' at 20, FS at 37, no further '='.
    std::string req = "\x02" "ABCDEFGHIJKLMNO" "1234" "=" "5678901234567890" "\x1c" "tail-of-the-request" "\x03" "XY";
    ASSERT_EQ(req.size(), 60u);
    ASSERT_EQ(req[20], '=');
    ASSERT_EQ(req[37], '\x1c');
    std::string want = req;
    for (int i = 16; i <= 19; ++i) want[i] = '*';
    for (int i = 21; i <= 36; ++i) want[i] = '*';
    EXPECT_EQ(Masked(req), want);
}

TEST(MaskCardData, MasksAtMostTwoFieldsAndOnlyInsideTheFrame) {
    std::string req = "\x02" "AAAAAAAAAAAA" "1111=2222\x1c" "BBBB" "3333=4444\x1c" "CCCC" "5555=6666\x1c" "\x03" "XY";
    std::string want = req;
    const std::size_t first = req.find('=');
    const std::size_t second = req.find('=', first + 1);
    ASSERT_EQ(first, 17u);
    ASSERT_EQ(second, 31u);
    want.replace(first - 4, 4, "****");
    want.replace(first + 1, 4, "****");
    want.replace(second - 4, 4, "****");
    want.replace(second + 1, 4, "****");
    EXPECT_EQ(Masked(req), want);  // the third field stays as it is

    const std::string early = "\x02" "123456789=1234\x1c" "\x03" "XY";  // '=' at 10
    EXPECT_EQ(Masked(early), early);
    const std::string late = "\x02" "ABCDEFGHIJKLMNOP" "=" "XY";  // '=' at n - 3
    EXPECT_EQ(Masked(late), late);
}

TEST(MaskCardData, Track2AsTheLastFieldIsHiddenUpToEtx) {
    // The four digits before '=' fall to the long-standing rule as well.
    EXPECT_EQ(Masked("\x02" "0200" "\x1c" "000000050000" "\x1c" "4111111111111111=25121011234567800000" "\x03" "K"),
              "\x02" "0200" "\x1c" "000000050000" "\x1c" "411111" + std::string(10 + 21, '*') + "\x03" "K");
    // No ETX either: the field runs to the end of the bytes.
    EXPECT_EQ(Masked("\x02" "TRACK" "\x1c" "4111111111111111=2512101"),
              "\x02" "TRACK" "\x1c" "411111" + std::string(10 + 8, '*'));
}

TEST(MaskCardData, CardNumbersAreFoundWhereverTheyStand) {
    // An '=' at position 10 or lower earlier in the frame: the old rule masks nothing at all.
    EXPECT_EQ(Masked("\x02" "A=1" "\x1c" "5555555555554444=2512101000" "\x1c" "END" "\x03" "X"),
              "\x02" "A=1" "\x1c" "555555******4444" + std::string(11, '*') + "\x1c" "END" "\x03" "X");
    // Keyed in, no separator: the number alone.
    EXPECT_EQ(Masked("\x02" "0200" "\x1c" "K378282246310005" "\x1c" "2512" "\x03" "X"),
              "\x02" "0200" "\x1c" "K378282*****0005" "\x1c" "2512" "\x03" "X");
    // 19 and 13 digits; 'D' separates the track data in an answer's chip record.
    EXPECT_EQ(Masked("\x02" "6304000000000000000" "\x1c" "4222222222222D25122010000" "\x1c" "OK" "\x03"),
              "\x02" "630400*********0000" "\x1c" "422222***2222" + std::string(12, '*') + "\x1c" "OK" "\x03");
    // Every number of an answer, however many fields.
    EXPECT_EQ(Masked("0210\x1c" "4111111111111111\x1c" "HONG GILDONG\x1c" "6011111111111117\x1c"),
              "0210\x1c" "411111******1111\x1c" "HONG GILDONG\x1c" "601111******1117\x1c");
    // Track 1: after '^' the cardholder's name, the expiry date and the rest of the field.
    EXPECT_EQ(Masked("\x1c" "B4111111111111111^HONG/GILDONG^2512101000" "\x1c" "OK"),
              "\x1c" "B411111******1111" + std::string(24, '*') + "\x1c" "OK");
}

TEST(MaskCardData, OtherDigitRunsStayAsTheyCame) {
    // Runs of 13 digits and more in which no window passes the check (any that did would be
    // hidden: a number that only looks like a card number is hidden all the same).
    const std::string runs = "\x02" "0200" "\x1c"
                             "4111111111111113"      // 16 digits failing the check
                             "\x1c" "1234567890123"     // 13 digits failing it
                             "\x1c" "411111111116"      // 12 digits passing it
                             "\x1c" "4111 1111 1111 1114"  // grouped, failing it
                             "\x1c" "4111    1111 1111 1111"  // four blanks part the groups
                             "\x1c" "4111A1111B1111C1111"  // so do letters
                             "\x1c" "4532" "\x1c" "0151" "\x1d" "1283" "\x1e" "0366"  // and fields
                             "\x1c" "D9999" "\x03" "X";
    EXPECT_EQ(Masked(runs), runs);
}

TEST(MaskCardData, GroupsJoinedByPunctuationBlanksAndControlBytes) {
    for (const std::string sep : {".", "/", "_", ",", "\t", "  ", "--", " - ", "\r\n", "\x0b",
                                  "\x0c", "\x08", "\x1b", "\x85", "\xe2\x80\xa8"}) {
        SCOPED_TRACE(sep);
        EXPECT_EQ(Masked("\x1c" "4532" + sep + "0151" + sep + "1283" + sep + "0366" "\x1c"),
                  "\x1c" "4532" + sep + "01**" + sep + "****" + sep + "0366" "\x1c");
    }
    EXPECT_EQ(Masked("3782.822463.10005"), "3782.82****.*0005");
    // The logged line ends at a NUL inside the number: the digits before it are masked as part
    // of the whole number.
    EXPECT_EQ(Masked(std::string("45320151\0" "12830366", 17)),
              std::string("453201**\0" "****0366", 17));
    // Track data behind a grouped number.
    EXPECT_EQ(Masked("4532.0151.1283.0366^DOE/JOHN^2512101" "\x1c" "OK"),
              "4532.01**.****.0366" + std::string(17, '*') + "\x1c" "OK");
}

TEST(MaskCardData, TrackDataBehindNumbersFailingTheCheckOrWithoutOne) {
    // A number failing the check, then track data: the run's middle and the whole track.
    EXPECT_EQ(Masked(";4532015112830367=25121011234567890?"),
              ";453201" + std::string(29, '*'));  // the old rule takes the four before '='
    EXPECT_EQ(Masked("%B4532015112830367^DOE/JOHN^25121010000000000000?" "\x1c" "OK"),
              "%B453201******0367" + std::string(31, '*') + "\x1c" "OK");
    EXPECT_EQ(Masked(" 4532015112830367d2512101123456"), " 453201******0367" + std::string(14, '*'));
    // Track 1 with no number in front.
    EXPECT_EQ(Masked("XX^DOE/JOHN^2512101000" "\x1c" "OK"), "XX^DOE/JOHN^" + std::string(10, '*') + "\x1c" "OK");
    // A chip record dumped as spaced hex: the number and everything from its 'D'.
    EXPECT_EQ(Masked("57 11 45 32 01 51 12 83 03 66 D2 51 21 01 12 34 56 78 90" "\x1c"),
              "57 11 45 ** ** ** ** ** ** ** " + std::string(26, '*') + "\x1c");
    // The expiry date and service code behind the number in one run show nothing.
    EXPECT_EQ(Masked("\x1c" "45320151128303662512101" "\x1c"),
              "\x1c" "453201" + std::string(17, '*') + "\x1c");
}

TEST(MaskCardData, PackedDigitsOutsideChipTags) {
    const std::string pan = Packed("4532015112830366");
    // A tag with a two-byte length, a binary ISO 8583 number behind its length byte, bare.
    for (const std::string head : {std::string("\x5a\x81\x08"), std::string("0200\x72\x34\x16"),
                                   std::string("0200")}) {
        SCOPED_TRACE(head);
        const std::string masked = Masked(head + pan + "\xab\xcd");
        ASSERT_EQ(masked.size(), head.size() + 10);
        EXPECT_EQ(masked.substr(head.size() + 3, 3), "***");
        EXPECT_EQ(masked.substr(head.size() + 8), "\xab\xcd");
    }
    // Track 2 packed behind its length byte: everything from the D to the end of the run.
    const std::string track = "\x37" + Packed("4532015112830366D25121011234567890") + "\xab";
    const std::string masked = Masked(track);
    ASSERT_EQ(masked.size(), track.size());
    EXPECT_EQ(masked.substr(0, 3), track.substr(0, 3));
    EXPECT_EQ(masked.substr(4, 3), "***");
    EXPECT_EQ(masked.substr(9), std::string(9, '*') + "\xab");
    // Printable ASCII only is text, read by the digit rules.
    const std::string text = "PAYDAY 2026-12-07";
    EXPECT_EQ(Masked(text), text);
}

// The card number at `at` shows its first six and last four digits only, the track data after
// it (track bytes from `at` + its length) is hidden, and no byte outside [from, to) changed.
void ExpectCardHidden(const std::string& frame, std::size_t at, std::size_t digits,
                      std::size_t track, std::size_t from, std::size_t to) {
    const std::string masked = Masked(frame);
    ASSERT_EQ(masked.size(), frame.size());
    for (std::size_t i = at + 6; i < at + digits - 4; ++i) EXPECT_EQ(masked[i], '*') << i << " " << masked;
    for (std::size_t i = at + digits; i < at + digits + track; ++i)
        EXPECT_EQ(masked[i], '*') << i << " " << masked;
    for (std::size_t i = 0; i < frame.size(); ++i)
        if (i < from || i >= to) {
            EXPECT_EQ(masked[i], frame[i]) << i << " " << masked;
        }
}

TEST(MaskCardData, GroupedCardNumbersKeepTheirSeparators) {
    EXPECT_EQ(Masked("\x1c" "4111 1111 1111 1111" "\x1c"), "\x1c" "4111 11** **** 1111" "\x1c");
    EXPECT_EQ(Masked("PAN:5500-0055-5555-5559."), "PAN:5500-00**-****-5559.");
    EXPECT_EQ(Masked("3782 822463 10005"), "3782 82**** *0005");
    // Track data after a grouped number.
    EXPECT_EQ(Masked("4111-1111-1111-1111=2512101" "\x1c" "OK"),
              "4111-11**-****-************" "\x1c" "OK");  // the old rule: four before '='

}

TEST(MaskCardData, CardNumbersInsideLongerDigitRuns) {
    const std::string visa = "4111111111111111";
    // A length prefix (ISO 8583 LLVAR), zero padding to 20 digits, the expiry date behind it.
    for (const std::string& head : {std::string("16"), std::string("0000"), std::string("")}) {
        for (const std::string& tail : {std::string(""), std::string("2512")}) {
            SCOPED_TRACE(head + "|" + tail);
            const std::string frame = "\x02" "0200" "\x1c" + head + visa + tail + "\x1c" "END" "\x03";
            const std::size_t at = 6 + head.size();
            ExpectCardHidden(frame, at, 16, 0, 6, at + 16 + tail.size());
        }
    }
    // Track 2 with a lower-case separator, behind a length prefix.
    const std::string frame = "\x1c" "37" + visa + "d25121011234567890123" "\x1c" "END";
    ExpectCardHidden(frame, 3, 16, 21, 1, 3 + 16 + 21);
}

TEST(MaskCardData, ChipRecordsAsHexText) {
    // Tag 57: the number up to 'D', then expiry, service code and discretionary data, 'F' pad.
    // The number needs no Luhn check there: 4111111111111112 fails it.
    for (const std::string pan : {"4111111111111111", "4111111111111113"}) {
        for (const char sep : {'D', 'd'}) {
            SCOPED_TRACE(pan + sep);
            const std::string value = pan + sep + "2512101123456789F";  // 34 digits: 17 bytes
            const std::string frame = "9F2608AABBCCDDEEFF00FF" "5711" + value + "9F3602001A";
            // The digit run "5711..." followed by 'D' is a number and its track data, hidden to
            // the end of the field, with or without the check.
            ExpectCardHidden(frame, 26, 16, value.size() - 16, 26, frame.size());
        }
    }
    // Tag 9F6B, the contactless track 2: as 57.
    ExpectCardHidden("XX" "9f6b11" "4111111111111113" "D2512101123456789F" "XX", 8, 16, 18, 8, 44);
    // Tag 5A: the number alone, padded with 'F' to whole bytes.
    ExpectCardHidden("5A08" "4111111111111112" "5F2403251231", 4, 16, 0, 4, 20);
    ExpectCardHidden("5a0a" "6234567890123456784" "F" "9A03261207", 4, 19, 0, 4, 24);
    // Not a record: the value is no card number.
    const std::string notCards = "5A08ABCDEF012345" "XX" "5713" "123456D7890";
    EXPECT_EQ(Masked(notCards), notCards);
}

TEST(MaskCardData, ChipRecordsInBinary) {
    // Tag 0x57, length, packed digits; nibble D ends the number, F pads the last byte.
    const std::string track = Packed("4111111111111112" "D2512101123456789" "F");
    const std::string frame = "\x02" "KK" + std::string("\x57\x11") + track + "\x9f\x36\x02\x00\x1a";
    const std::string masked = Masked(frame);
    ASSERT_EQ(masked.size(), frame.size());
    const std::size_t at = 5;
    // Tag and length are packed digits too: the number failing the check is read as the last
    // 19 digits before the D, so the number's third to sixth digits are hidden as well.
    EXPECT_EQ(masked.substr(0, at + 1), frame.substr(0, at + 1));  // tag, length, two digits
    EXPECT_EQ(masked.substr(at + 1, 5), "*****");                 // digits 3 to 12
    EXPECT_EQ(masked.substr(at + 6, 2), frame.substr(at + 6, 2));  // the last four
    EXPECT_EQ(masked.substr(at + 8, 9), std::string(9, '*'));      // from the D to the end
    EXPECT_EQ(masked.substr(at + 17), frame.substr(at + 17));
    // Tag 0x9F 0x6B, the contactless track 2, as 0x57.
    const std::string contactless = "\x9f\x6b\x0c" + Packed("4761739051270423" "D2512201");
    EXPECT_EQ(Masked(contactless), "\x9f\x6b\x0c" + Packed("476173") + "***" + Packed("0423") + "****");
    // Tag 0x5A: the bytes' count stays, the middle bytes are hidden.
    const std::string pan = "\x5a\x08" + Packed("4111111111111111") + "\x5f\x24";
    EXPECT_EQ(Masked(pan), "\x5a\x08" + Packed("411111") + "***" + Packed("1111") + "\x5f\x24");
    // 0x57 'W' and 0x5A 'Z' in text are no records.
    const std::string text = "WZ" "Zoo\x10Wxyz" "\x5a\x08\x41\x42\x43";
    EXPECT_EQ(Masked(text), text);
}

TEST(MaskCardData, ANulInsideStopsOnlyTheOldRule) {
    // NUL bytes stay, so the logged text keeps its length; masking goes on behind them.
    const std::string frame = std::string("\x02" "AB\0CD" "\x1c" "4111111111111111=25\0" "12" "\x1c" "E", 31);
    const std::string want = std::string("\x02" "AB\0CD" "\x1c" "411111******1111***\0" "**" "\x1c" "E", 31);
    EXPECT_EQ(Masked(frame), want);
}

}  // namespace
