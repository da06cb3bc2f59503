// DebugTrace and DebugMessage: the fixed 512-character buffer, wide
// arguments, and nothing added to what the format says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/trace.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"

namespace {

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTraceSink([this](const std::string& utf8) { lines_.push_back(utf8); });
    }
    void TearDown() override { platform::SetTraceSink(nullptr); }
    std::vector<std::string> lines_;
};

TEST_F(TraceTest, WritesExactlyWhatTheFormatSaysWithWideArguments) {
    DebugTrace(L"serial port = %ls\r\n", L"ttyACM0");
    DebugTrace(L"upgrade_timer_process: upg_event = %d\r\n", 6);
    DebugTrace(L"格式%d [%02XH]\r\n", 1, 5u);
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[0], "serial port = ttyACM0\r\n");
    EXPECT_EQ(lines_[1], "upgrade_timer_process: upg_event = 6\r\n");
    EXPECT_EQ(lines_[2], "格式1 [05H]\r\n");
}

TEST_F(TraceTest, CutsLongOutputAfterThe511thCharacter) {
    const std::wstring exact(511, L'a');
    const std::wstring longer(600, L'b');
    DebugTrace(L"%ls", exact.c_str());
    DebugTrace(L"%ls\r\n", longer.c_str());
    DebugTrace(L"%ls%ls", std::wstring(510, L'c').c_str(), L"长");  // a wide character as the 511th
    ASSERT_EQ(lines_.size(), 3u);
    EXPECT_EQ(lines_[0], std::string(511, 'a'));
    EXPECT_EQ(lines_[1], std::string(511, 'b'));  // the line break is cut too
    EXPECT_EQ(lines_[2], std::string(510, 'c') + "长");
}

TEST_F(TraceTest, FormatsOutputThatIsLongerThanAnyFixedBuffer) {
    const std::wstring huge(5000, L'x');
    DebugTrace(L"[%ls]", huge.c_str());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], "[" + std::string(510, 'x'));
}

TEST_F(TraceTest, EightBitTraceIsReadAsCodePage936) {
    // "格式1应答错误: 错误码[05H]\r\n" in GBK.
    const char gbk[] =
        "\xb8\xf1\xca\xbd"
        "1"
        "\xd3\xa6\xb4\xf0\xb4\xed\xce\xf3"
        ": "
        "\xb4\xed\xce\xf3\xc2\xeb"
        "[05H]\r\n";
    OutputDebugStringA(gbk);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], "格式1应答错误: 错误码[05H]\r\n");
}

TEST(DebugMessageTest, ShowsTheFormattedTextInAnOkBoxWithTheExclamationIcon) {
    std::vector<std::pair<std::wstring, UINT>> boxes;
    headless::SetMessageBoxResponder([&](HWND, const std::wstring& text, const std::wstring&, UINT type) {
        boxes.emplace_back(text, type);
        return IDOK;
    });
    DebugMessage(L"设备打开失败[%ls]", L"ttyUSB3");
    headless::SetMessageBoxResponder(nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, L"设备打开失败[ttyUSB3]");
    EXPECT_EQ(boxes[0].second, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
}

}  // namespace
