#include "pairing_gate.h"

#include <gtest/gtest.h>

#include "manual_clock.h"
#include "protocol.h"
#include "recording_sink.h"
#include "temp_dir.h"

namespace vocari {
namespace {

using test::fileMode;
using test::readFile;
using test::writeFile;

constexpr int64_t kSecond = 1'000'000'000;

TEST(PairingCodeText, ReadsOneNumberAfterBlanks) {
    EXPECT_EQ(parsePairingCode("123456\n"), 123456u);
    EXPECT_EQ(parsePairingCode("  654321 and then junk"), 654321u);
    EXPECT_EQ(parsePairingCode("\t\n 100000"), 100000u);
    EXPECT_EQ(parsePairingCode("999999x"), 999999u);
    EXPECT_EQ(parsePairingCode("+123456"), 123456u);
}

TEST(PairingCodeText, RejectsWhatIsNotASixDigitCode) {
    for (const char* text : {"", "   ", "12345", "1234567", "099999", "abcdef", "-123456",
                             "1000000", "x123456", "99999999999999999999999999"}) {
        EXPECT_FALSE(parsePairingCode(text)) << '"' << text << '"';
    }
}

class PairingFile : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string folder = dir.file("Vocari");
    std::string path = folder + "/pairing";
};

TEST_F(PairingFile, ValidFileIsUsedAndLeftUntouched) {
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    writeFile(path, "424242\n");
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    PairingGate gate(path, 0);
    EXPECT_EQ(gate.code(), 424242u);
    EXPECT_EQ(readFile(path), "424242\n");
    EXPECT_EQ(fileMode(path), 0644);  // not rewritten, so not re-permissioned either
}

TEST_F(PairingFile, BlanksThenCodeThenJunkGivesTheCode) {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    writeFile(path, "  777888 hello\n");
    EXPECT_EQ(PairingGate(path, 0).code(), 777888u);
    EXPECT_EQ(readFile(path), "  777888 hello\n");
}

TEST_F(PairingFile, BadContentsAreReplacedByAFreshCode) {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (const char* contents : {"12345\n", "1234567\n", "letters\n", ""}) {
        writeFile(path, contents);
        PairingGate gate(path, 0);
        EXPECT_GE(gate.code(), 100000u) << contents;
        EXPECT_LE(gate.code(), 999999u) << contents;
        char expected[16];
        std::snprintf(expected, sizeof expected, "%u\n", gate.code());
        EXPECT_EQ(readFile(path), expected) << contents;
        EXPECT_EQ(fileMode(path), 0600);
    }
}

TEST_F(PairingFile, MissingFileCreatesFolderAndFile) {
    PairingGate gate(path, 0);
    EXPECT_EQ(fileMode(folder), 0700);
    EXPECT_EQ(fileMode(path), 0600);
    EXPECT_EQ(PairingGate(path, 0).code(), gate.code());  // the next start keeps it
}

TEST_F(PairingFile, MissingParentFoldersAreCreatedToo) {
    const std::string deep = dir.file("home/Library/Application Support/Vocari/pairing");
    PairingGate gate(deep, 0);
    EXPECT_EQ(fileMode(dir.file("home/Library")), 0700);
    EXPECT_EQ(PairingGate(deep, 0).code(), gate.code());
}

TEST_F(PairingFile, UnwritableFolderStillGivesACode) {
    writeFile(dir.file("plain"), "not a folder");
    PairingGate gate(dir.file("plain/pairing"), 0);
    EXPECT_GE(gate.code(), 100000u);
    EXPECT_LE(gate.code(), 999999u);
    EXPECT_EQ(readFile(dir.file("plain")), "not a folder");
}

TEST_F(PairingFile, NonZeroCodeIgnoresTheFile) {
    PairingGate gate(path, 246810);
    EXPECT_EQ(gate.code(), 246810u);
    EXPECT_EQ(fileMode(path), -1);
}

TEST_F(PairingFile, ANumberCutByTheReadLimitIsNotTrusted) {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    writeFile(path, std::string(4090, ' ') + "123456789");
    PairingGate gate(path, 0);
    EXPECT_NE(readFile(path).substr(0, 3), "   ");  // rewritten with a fresh code
}

class Verdicts : public ::testing::Test {
  protected:
    static constexpr uint32_t kCode = 314159;
    test::ManualClock clock{100 * kSecond};
    test::RecordingSink out;
    PairingGate gate{"", kCode, clock, out};

    bool hello(uint32_t code, const char* from = "10.0.0.5") {
        const auto message = protocol::encodeHello(1, code, 100, 0, std::string("p"));
        return gate.helloAuthorized(message, from);
    }
};

TEST_F(Verdicts, RightCodePassesSilentlyAndShortHelloFails) {
    EXPECT_TRUE(hello(kCode));
    EXPECT_TRUE(out.lines().empty());
    const auto message = protocol::encodeHello(1, kCode, 100, 0, std::string("p"));
    EXPECT_FALSE(gate.helloAuthorized(std::span(message).first(54), "x"));
    EXPECT_TRUE(out.lines().empty());
}

TEST_F(Verdicts, FifthWrongCodeLocksEveryoneOut) {
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(hello(111111));
        clock.advance(kSecond);
    }
    EXPECT_EQ(out.count("REJECTED"), 4u);
    EXPECT_EQ(out.count("too many"), 0u);
    EXPECT_FALSE(hello(42, "USB client"));
    ASSERT_EQ(out.lines().size(), 5u);
    EXPECT_EQ(out.lines()[4], "pairing: REJECTED USB client \u2014 wrong code 000042\n");

    clock.advance(10 * kSecond);
    EXPECT_FALSE(hello(kCode, "10.0.0.9"));  // even the right code, from anyone
    EXPECT_EQ(out.lines().back(),
              "pairing: too many wrong codes \u2014 ignoring 10.0.0.9 for 20s\n");
    // While locked, each sender is told once a second however often it knocks, and a crowd of
    // senders gets a few lines a second between them.
    size_t lines = out.lines().size();
    clock.advance(kSecond / 2);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(hello(kCode, "10.0.0.7"));
        EXPECT_FALSE(hello(kCode, "10.0.0.9"));
    }
    ASSERT_EQ(out.lines().size(), lines + 1);
    EXPECT_EQ(out.lines().back(),
              "pairing: too many wrong codes \u2014 ignoring 10.0.0.7 for 20s\n");
    clock.advance(kSecond / 2);
    EXPECT_FALSE(hello(kCode, "10.0.0.9"));
    EXPECT_EQ(out.lines().back(),
              "pairing: too many wrong codes \u2014 ignoring 10.0.0.9 for 19s\n");
    clock.advance(kSecond);
    lines = out.lines().size();
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(hello(kCode, ("10.0.1." + std::to_string(i)).c_str()));
    }
    EXPECT_EQ(out.lines().size(), lines + PairingGate::kIgnoredLinesPerSecond);

    clock.advance(18 * kSecond);
    EXPECT_TRUE(hello(kCode));
}

TEST_F(Verdicts, LockoutEndsWithAFreshCount) {
    for (int i = 0; i < 5; ++i) {
        hello(1);
    }
    clock.advance(30 * kSecond);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(hello(1));
    }
    EXPECT_EQ(out.count("too many"), 0u);
    EXPECT_TRUE(hello(kCode));
}

TEST_F(Verdicts, WindowExpiresAfterThirtySeconds) {
    hello(1);
    clock.advance(31 * kSecond);
    for (int i = 0; i < 4; ++i) {  // a new window: these count 1 to 4, not 2 to 5
        hello(1);
    }
    EXPECT_TRUE(hello(kCode));
    EXPECT_EQ(out.count("too many"), 0u);
}

TEST_F(Verdicts, WindowStillOpenAtThirtySeconds) {
    hello(1);
    clock.advance(30 * kSecond);
    for (int i = 0; i < 4; ++i) {  // 2 to 5 in the same window: the last one locks
        hello(1);
    }
    EXPECT_FALSE(hello(kCode));
    EXPECT_EQ(out.count("too many"), 1u);
}

TEST_F(Verdicts, RightCodeResetsTheCountButNotTheWindow) {
    for (int i = 0; i < 3; ++i) {
        hello(1);
    }
    EXPECT_TRUE(hello(kCode));
    for (int i = 0; i < 4; ++i) {  // without the reset the second of these would lock
        hello(1);
    }
    EXPECT_EQ(out.count("too many"), 0u);
    EXPECT_EQ(out.count("REJECTED"), 7u);
    hello(1);
    EXPECT_FALSE(hello(kCode));
    EXPECT_EQ(out.count("too many"), 1u);
}

TEST_F(Verdicts, RightCodeDoesNotRestartTheWindow) {
    hello(1);
    clock.advance(20 * kSecond);
    EXPECT_TRUE(hello(kCode));
    clock.advance(11 * kSecond);  // 31 s after the window began: these open a new one
    for (int i = 0; i < 4; ++i) {
        hello(1);
    }
    EXPECT_TRUE(hello(kCode));
}

}  // namespace
}  // namespace vocari
