// The platform services under the log writer: code page 949 conversion, directories, the clock
// and the secure random source.
#include "sys/sys.h"
#include "support/temp_dir.h"

#include <cstring>
#include <filesystem>
#include <string>

TEST(Sys, Utf8ToCp949ConvertsAndRefuses) {
    char out[64];
    const char* text = "▷ 접속해제 €";
    const long n = sys::Utf8ToCp949(text, std::strlen(text), out, sizeof out);
    ASSERT_EQ(n, 14);
    EXPECT_EQ(std::string(out, 14), "\xA2\xB9 \xC1\xA2\xBC\xD3\xC7\xD8\xC1\xA6 \xA2\xE6");

    EXPECT_EQ(sys::Utf8ToCp949("", 0, out, sizeof out), 0);
    EXPECT_EQ(sys::Utf8ToCp949("ab\xFF", 3, out, sizeof out), -1);        // not UTF-8
    EXPECT_EQ(sys::Utf8ToCp949("\xEC\xA0", 2, out, sizeof out), -1);      // cut short
    EXPECT_EQ(sys::Utf8ToCp949("aก", 4, out, sizeof out), -1);            // no such character
    EXPECT_EQ(sys::Utf8ToCp949("접속", 6, out, 3), -1);                   // no room
}

TEST(Sys, Utf8ToCp949LongTextCrossesInternalPieces) {
    std::string text;
    for (int i = 0; i < 1500; ++i) text += "가a";  // 6000 bytes, 3-byte characters at odd offsets
    static char out[8000];
    const long n = sys::Utf8ToCp949(text.data(), text.size(), out, sizeof out);
    ASSERT_EQ(n, 4500);
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(std::string(out + 3 * i, 3), "\xB0\xA1" "a") << i;
}

TEST(Sys, Cp949ToUtf8ReadsTheLogsTextAndReplacesWhatItCannot) {
    EXPECT_EQ(sys::Cp949ToUtf8("\xA2\xB9 \xC1\xA2\xBC\xD3", 7), "▷ 접속");
    EXPECT_EQ(sys::Cp949ToUtf8("", 0), "");
    std::string text, expected;
    for (int i = 0; i < 1500; ++i) {  // two-byte characters at odd offsets across any piece
        text += "\xB0\xA1" "a";
        expected += "가a";
    }
    EXPECT_EQ(sys::Cp949ToUtf8(text.data(), text.size()), expected);
    // A byte that is no code page 949 and a lead byte cut off at the end: replaced, the rest kept.
    const std::string bad = sys::Cp949ToUtf8("a\xFF" "b\xB0", 4);
    EXPECT_EQ(bad.substr(0, 1), "a");
    EXPECT_NE(bad.find('b'), std::string::npos);
    EXPECT_GT(bad.size(), 3u);
}

using SysDir = InTempDir;
TEST_F(SysDir, MakeDirectoryMakesMissingLevelsAndToleratesExisting) {
    EXPECT_TRUE(sys::MakeDirectory("made"));
    EXPECT_TRUE(std::filesystem::is_directory("made"));
    EXPECT_TRUE(sys::MakeDirectory("made"));
    EXPECT_TRUE(sys::MakeDirectory("missing/child"));
    EXPECT_TRUE(std::filesystem::is_directory("missing/child"));
    { std::ofstream blocker("file"); }
    EXPECT_FALSE(sys::MakeDirectory("file/child"));
}

// The day's log file: appended at its end, read back from its tail and from its start, and no
// longer named once it has been moved away.
TEST_F(SysDir, AppendFileAndFileReaderKeepTheirFileAcrossOpens) {
    ASSERT_TRUE(sys::MakeDirectory("logs"));
    {
        sys::AppendFile file;
        EXPECT_FALSE(file.IsOpen());
        ASSERT_TRUE(file.Open("logs", "day.txt"));
        EXPECT_TRUE(file.IsOpen());
        EXPECT_EQ(file.OpenedSize(), 0);
        ASSERT_TRUE(file.Append("first\r\n", 7));
        file.Close();
        EXPECT_FALSE(file.IsOpen());
        file.Close();
        // Opened again by the same object: the bytes so far count, new ones go after them.
        ASSERT_TRUE(file.Open("logs", "day.txt"));
        EXPECT_EQ(file.OpenedSize(), 7);
        ASSERT_TRUE(file.Append("second\r\n", 8));
        char tail[32] = {};
        ASSERT_EQ(file.ReadTail(tail, 8), 8);
        EXPECT_EQ(std::string(tail, 8), "second\r\n");
        ASSERT_EQ(file.ReadTail(tail, sizeof tail), 15);  // no more than the file holds
        EXPECT_EQ(std::string(tail, 15), "first\r\nsecond\r\n");
        EXPECT_TRUE(file.StillNamed());
        std::filesystem::rename("logs/day.txt", "logs/moved.txt");
        EXPECT_FALSE(file.StillNamed());
    }
    sys::FileReader reader;
    char piece[4];
    EXPECT_EQ(reader.Read(piece, sizeof piece), -1);  // nothing open
    EXPECT_FALSE(reader.Open("logs/day.txt"));
    EXPECT_FALSE(reader.Open("logs"));  // a folder is not read as a file
    ASSERT_TRUE(reader.Open("logs/moved.txt"));
    std::string back;
    long got;
    while ((got = reader.Read(piece, sizeof piece)) > 0) back.append(piece, static_cast<std::size_t>(got));
    EXPECT_EQ(got, 0);
    EXPECT_EQ(back, "first\r\nsecond\r\n");
    reader.Close();
    EXPECT_EQ(reader.Read(piece, sizeof piece), -1);
}

TEST(Sys, SecureRandomFillsEveryByte) {
    // 4096 bytes: a byte left untouched stays 0 in both draws with odds of 1 in 65536 each.
    static unsigned char a[4096], b[4096];
    ASSERT_TRUE(sys::SecureRandom(a, sizeof a));
    ASSERT_TRUE(sys::SecureRandom(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    int zeroInBoth = 0;
    for (std::size_t i = 0; i < sizeof a; ++i) zeroInBoth += a[i] == 0 && b[i] == 0;
    EXPECT_LT(zeroInBoth, 4);
    EXPECT_TRUE(sys::SecureRandom(a, 0));
}

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Sys, KeepOutOfDumpsLeavesNoCoreAndNoDumpableProcess) {
    // In a child of its own, so that the test program stays as it was.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool ok = sys::KeepOutOfDumps();
        rlimit core{};
        getrlimit(RLIMIT_CORE, &core);
        const int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        _exit(ok && core.rlim_cur == 0 && core.rlim_max == 0 && dumpable == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
}
#endif
