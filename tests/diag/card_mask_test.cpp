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
    const std::string runs = "\x02" "0200" "\x1c"
                             "41111111111111110"     // 17 digits failing the check
                             "\x1c" "4111111111111112"  // 16 digits failing the check
                             "\x1c" "411111111116"      // 12 digits passing it
                             "\x1c" "41111111111111110000"  // 20 digits holding a valid 16
                             "D9999" "\x03" "X";
    EXPECT_EQ(Masked(runs), runs);
}

TEST(MaskCardData, ANulInsideStopsOnlyTheOldRule) {
    // NUL bytes stay, so the logged text keeps its length; masking goes on behind them.
    const std::string frame = std::string("\x02" "AB\0CD" "\x1c" "4111111111111111=25\0" "12" "\x1c" "E", 31);
    const std::string want = std::string("\x02" "AB\0CD" "\x1c" "411111******1111***\0" "**" "\x1c" "E", 31);
    EXPECT_EQ(Masked(frame), want);
}

}  // namespace
