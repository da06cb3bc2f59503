// OutputDebugStringW/A: the text reaches the trace sink as UTF-8.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/kernel32/trace_sink.h"
#include "platform/posix/win32.h"

namespace {

class DebugOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTraceSink([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(text);
        });
    }
    void TearDown() override { platform::SetTraceSink({}); }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(DebugOutputTest, WideTextArrivesAsUtf8Unchanged) {
    OutputDebugStringW(L"串口打开成功\r\n");
    OutputDebugStringW(L"UpgradeInit\r\n");
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0], "\xE4\xB8\xB2\xE5\x8F\xA3\xE6\x89\x93\xE5\xBC\x80\xE6\x88\x90\xE5\x8A\x9F\r\n");
    EXPECT_EQ(Lines()[1], "UpgradeInit\r\n");
}

TEST_F(DebugOutputTest, GbkTextArrivesAsUtf8) {
    // "格式1应答错误" in code page 936.
    OutputDebugStringA("\xB8\xF1\xCA\xBD\x31\xD3\xA6\xB4\xF0\xB4\xED\xCE\xF3\r\n");
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0], "\xE6\xA0\xBC\xE5\xBC\x8F\x31\xE5\xBA\x94\xE7\xAD\x94\xE9\x94\x99\xE8\xAF\xAF\r\n");
}

TEST_F(DebugOutputTest, InvalidGbkBytesBecomeReplacementCharacters) {
    OutputDebugStringA(
        "a\xFF"
        "b\xB8");  // 0xFF is no lead byte; 0xB8 is cut off at the end
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0],
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST_F(DebugOutputTest, SurrogatePairsFromUtf16JoinIntoOneCharacter) {
    const wchar_t text[] = {0xD83D, 0xDE00, L'!', 0xDC00, 0};  // a pair, then a lone low surrogate
    OutputDebugStringW(text);
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0], "\xF0\x9F\x98\x80!\xEF\xBF\xBD");
}

TEST_F(DebugOutputTest, NullTextWritesNothing) {
    OutputDebugStringW(nullptr);
    OutputDebugStringA(nullptr);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(DebugOutputTest, LinesFromSeveralThreadsStayWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i)
                OutputDebugStringW(L"DebugReadThread\r\n");
        });
    }
    for (auto& thread : threads)
        thread.join();
    const auto lines = Lines();
    EXPECT_EQ(lines.size(), 600u);
    for (const auto& line : lines)
        ASSERT_EQ(line, "DebugReadThread\r\n");
}

TEST_F(DebugOutputTest, SinkThatTracesDoesNotDeadlock) {
    int calls = 0;
    platform::SetTraceSink([&calls](const std::string&) {
        ++calls;
        OutputDebugStringW(L"inner\r\n");  // dropped: the sink is busy
    });
    OutputDebugStringW(L"outer\r\n");
    EXPECT_EQ(calls, 1);
}

TEST(TraceSettingTest, PathSettingAppendsToTheFile) {
    char name[] = "/tmp/vantrel_trace_XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    platform::SetTraceSink({});
    ::setenv("VANTREL_TRACE", name, 1);
    platform::ReloadTraceSetting();
    OutputDebugStringW(L"OpenDevice\r\n");
    OutputDebugStringW(L"设备已打开\r\n");
    ::unsetenv("VANTREL_TRACE");
    platform::ReloadTraceSetting();
    OutputDebugStringW(L"not written\r\n");  // the trace is off again
    std::ifstream in(name, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "OpenDevice\r\n\xE8\xAE\xBE\xE5\xA4\x87\xE5\xB7\xB2\xE6\x89\x93\xE5\xBC\x80\r\n");
    ::unlink(name);
}

}  // namespace
