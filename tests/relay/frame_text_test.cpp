// The byte-level frame helpers: NUL-bounded search, connect-frame parsing, card-data masking.
#include "diag/card_mask.h"
#include "relay/frame_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(FindNthChar, CountsOccurrencesAndStopsAtTheFirstNul) {
    const char text[] = "a=b=c\0=d";
    EXPECT_EQ(FindNthChar(text, '=', 1), 1);
    EXPECT_EQ(FindNthChar(text, '=', 2), 3);
    EXPECT_EQ(FindNthChar(text, '=', 3), -1);  // the third lies behind the NUL
    EXPECT_EQ(FindNthChar(text, 'x', 1), -1);
    EXPECT_EQ(FindNthChar("", ':', 1), -1);
}

struct Parsed {
    int fault;
    int part;
    std::string host;
    std::string port;
};

Parsed Parse(const std::string& frame) {
    char buffer[5120] = {};
    frame.copy(buffer, frame.size());
    char host[kHostSize];
    char port[kPortTextSize];
    std::memset(host, '#', sizeof host);
    std::memset(port, '#', sizeof port);
    int part = -1;
    const int fault = ParseConnectFrame(buffer, static_cast<int>(frame.size()), host, port, &part);
    if (fault != CONNECT_FRAME_OK) {
        // Nothing is written on a fault.
        EXPECT_EQ(std::string(host, sizeof host), std::string(sizeof host, '#'));
        EXPECT_EQ(std::string(port, sizeof port), std::string(sizeof port, '#'));
        return {fault, part, "", ""};
    }
    return {fault, part, std::string(host), std::string(port)};
}

TEST(ParseConnectFrame, SplitsHostAndPort) {
    const Parsed p = Parse("S192.168.100.10:9000E");
    EXPECT_EQ(p.fault, CONNECT_FRAME_OK);
    EXPECT_EQ(p.host, "192.168.100.10");
    EXPECT_EQ(p.port, "9000");

    const Parsed widest = Parse("T" + std::string(20, '1') + ":" + std::string(9, '2') + "T");
    EXPECT_EQ(widest.fault, CONNECT_FRAME_OK);
    EXPECT_EQ(widest.host, std::string(20, '1'));
    EXPECT_EQ(widest.port, std::string(9, '2'));

    const Parsed empty = Parse("T:T");
    EXPECT_EQ(empty.fault, CONNECT_FRAME_OK);
    EXPECT_EQ(empty.host, "");
    EXPECT_EQ(empty.port, "");
}

TEST(ParseConnectFrame, RefusesWhatWouldOverrunTheFields) {
    EXPECT_EQ(Parse("T").fault, CONNECT_FRAME_NO_COLON);
    EXPECT_EQ(Parse("S127.0.0.1E").fault, CONNECT_FRAME_NO_COLON);
    EXPECT_EQ(Parse(std::string("S127.0.0.1\0:9000E", 17)).fault, CONNECT_FRAME_NO_COLON);

    const Parsed host = Parse("S" + std::string(21, '1') + ":9000E");
    EXPECT_EQ(host.fault, CONNECT_FRAME_HOST_TOO_LONG);
    EXPECT_EQ(host.part, 21);
    const Parsed port = Parse("P127.0.0.1:" + std::string(10, '9') + "E");
    EXPECT_EQ(port.fault, CONNECT_FRAME_PORT_TOO_LONG);
    EXPECT_EQ(port.part, 10);
}

std::string Masked(std::string frame) {
    char work[5120] = {};
    frame.copy(work, frame.size());
    MaskCardData(work, static_cast<int>(frame.size()));
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

}  // namespace
