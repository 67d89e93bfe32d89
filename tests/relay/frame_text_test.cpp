// The byte-level frame helpers: NUL-bounded search, connect-frame parsing.
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

}  // namespace
