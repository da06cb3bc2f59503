// The web server's command-line values: the address, the token file, the
// history, and the rule that only loopback goes without a token.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "station/web/config.h"
#include "tests/tools/harness.h"

namespace station::web {
namespace {

TEST(ParseHttpAddress, PortAloneMeansLoopback) {
    HttpAddress a;
    ASSERT_EQ(ParseHttpAddress("8080", &a), "");
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8080u);
    EXPECT_TRUE(a.loopback);
}

TEST(ParseHttpAddress, TellsLoopbackFromOtherAddresses) {
    const struct {
        const char* text;
        const char* host;
        bool loopback;
    } cases[] = {
        {"127.0.0.1:80", "127.0.0.1", true},
        {"127.1.2.3:80", "127.1.2.3", true},
        {"localhost:80", "localhost", true},
        {"[::1]:80", "::1", true},
        {"0.0.0.0:80", "0.0.0.0", false},
        {"192.168.4.20:80", "192.168.4.20", false},
        {"[::]:80", "::", false},
        {"line7.local:80", "line7.local", false},
        {"128.0.0.1:80", "128.0.0.1", false},
    };
    for (const auto& c : cases) {
        HttpAddress a;
        ASSERT_EQ(ParseHttpAddress(c.text, &a), "") << c.text;
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.loopback, c.loopback) << c.text;
        EXPECT_EQ(a.port, 80u) << c.text;
    }
}

TEST(ParseHttpAddress, RefusesBadPortsAndAddresses) {
    for (const char* text : {"", "0", "65536", "http", "1.2.3.4:", ":80", "1.2.3:80", "1.2.3.4.5:80", "256.1.1.1:80",
                             "::1:80", "[::1]80", "[]:80", "[zz]:80", "bad host:80", "-x:80", "8080x"}) {
        HttpAddress a;
        a.port = 7;
        const std::string why = ParseHttpAddress(text, &a);
        EXPECT_NE(why, "") << text;
        EXPECT_EQ(why.rfind("--http: ", 0), 0u) << why;
        EXPECT_EQ(a.port, 7u) << "left untouched: " << text;
    }
}

class LoadTokenTest : public ::testing::Test {
protected:
    std::string Write(const std::string& content) {
        const std::string path = dir_.path("token");
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    tools::testing::TempDir dir_;
};

TEST_F(LoadTokenTest, ReadsOneLineWithoutItsNewline) {
    std::string token;
    ASSERT_EQ(LoadToken(Write("0123456789abcdef-XYZ\r\n"), &token), "");
    EXPECT_EQ(token, "0123456789abcdef-XYZ");
}

TEST_F(LoadTokenTest, RefusesAShortToken) {
    std::string token = "kept";
    const std::string why = LoadToken(Write("0123456789abcde\n"), &token);
    EXPECT_NE(why.find("15 bytes"), std::string::npos) << why;
    EXPECT_EQ(token, "kept");
}

TEST_F(LoadTokenTest, RefusesCharactersThatBreakAHeaderOrCookie) {
    for (const std::string& bad :
         std::vector<std::string>{"0123456789abcdef;x", "0123456789 abcdef", "0123456789abcdef\nsecond",
                                  "0123456789abc\"def", std::string("0123456789abcdef\0", 17), "0123456789abcdé"}) {
        std::string token;
        EXPECT_NE(LoadToken(Write(bad), &token), "") << bad;
    }
}

TEST_F(LoadTokenTest, NamesTheFileAndCauseWhenItCannotBeRead) {
    std::string token;
    const std::string why = LoadToken(dir_.path("missing"), &token);
    EXPECT_NE(why.find("missing"), std::string::npos) << why;
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
}

TEST(ParseHistory, TakesOneToAMillion) {
    std::size_t n = 0;
    EXPECT_EQ(ParseHistory("1", &n), "");
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ParseHistory("1000000", &n), "");
    EXPECT_EQ(n, 1000000u);
    for (const char* bad : {"0", "1000001", "", "-1", "10k"})
        EXPECT_NE(ParseHistory(bad, &n), "") << bad;
}

TEST(CheckHttpSecurity, RefusesANonLoopbackAddressWithoutAToken) {
    HttpAddress any;
    ASSERT_EQ(ParseHttpAddress("0.0.0.0:8080", &any), "");
    EXPECT_NE(CheckHttpSecurity(any, ""), "");
    EXPECT_EQ(CheckHttpSecurity(any, "0123456789abcdef"), "");
    HttpAddress local;
    ASSERT_EQ(ParseHttpAddress("8080", &local), "");
    EXPECT_EQ(CheckHttpSecurity(local, ""), "");
}

}  // namespace
}  // namespace station::web
