// vantrel-cli's outputs without a run: the contract lines, the progress line
// drawn for a terminal (on a test clock) and the JSON events, and the
// escaping of untrusted text they rely on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/escape.h"
#include "cli/events.h"
#include "cli/host.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A FILE* whose bytes the test reads back.
class Captured {
public:
    Captured() : file_(open_memstream(&buffer_, &size_)) {}
    ~Captured() {
        if (file_)
            std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
};

// The line as last drawn: what follows the last "\r", without "ESC [ K".
std::string LastDrawn(const std::string& text) {
    std::string last = text.substr(text.rfind('\r') + 1);
    const size_t erase = last.find("\x1b[K");
    return erase == std::string::npos ? last : last.substr(0, erase);
}

// --- escaping ---------------------------------------------------------------

TEST(Printable, KeepsOrdinaryTextAndBackslashes) {
    EXPECT_EQ(cli::Printable(L"USB\\VID_03EB&PID_6133 终端 (ttyACM0)"), L"USB\\VID_03EB&PID_6133 终端 (ttyACM0)");
}

TEST(Printable, EscapesEveryControlAndHidingCharacter) {
    EXPECT_EQ(cli::Printable(L"a\x1b[31mb\nc\rd\te\x07\x7f"), L"a\\e[31mb\\nc\\rd\\te\\x07\\x7F");
    EXPECT_EQ(cli::Printable(L"\x85\x9b\u202e\u200b\u2028\ufeff"), L"\\u0085\\u009B\\u202E\\u200B\\u2028\\uFEFF");
}

TEST(JsonString, EscapesQuotesControlsAndAllNonAscii) {
    EXPECT_EQ(cli::JsonString(std::wstring(L"a\"b\\c\n\x1b\u00e9\u7ec8")), "\"a\\\"b\\\\c\\n\\u001b\\u00e9\\u7ec8\"");
    EXPECT_EQ(cli::JsonString(std::wstring(L"\U0001F600")), "\"\\ud83d\\ude00\"");
    EXPECT_EQ(cli::JsonString(std::wstring(1, static_cast<wchar_t>(0xD800))), "\"\\ufffd\"");
}

TEST(JsonString, ReplacesInvalidUtf8) {
    EXPECT_EQ(cli::JsonString(std::string("ok\xff\xc3(\xe2\x82\xac")), "\"ok\\ufffd\\ufffd(\\u20ac\"");
    EXPECT_EQ(cli::JsonString(std::string("\xc0\xaf\xed\xa0\x80")), "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"");
}

// --- the contract lines -----------------------------------------------------

TEST(LineEvents, PrintTheContractLines) {
    Captured out;
    auto events = cli::LineEvents(out.file(), cli::Utf8);
    events->Text("connect", L"ttyACM0: Open");
    events->Text("status", L"loading ...");
    events->Progress(4102, 12308);
    events->Text("message", L"设备打开失败[ttyACM0]");
    events->Tick();
    events->MakeWay();
    events->Result("success", 0);
    EXPECT_EQ(out.text(),
              "connect: ttyACM0: Open\nstatus: loading ...\nprogress: 4102/12308\nmessage: 设备打开失败[ttyACM0]\n"
              "result: success\n");
}

// A line break in a port name would forge a contract line.
TEST(LineEvents, EscapeALineBreakInAText) {
    Captured out;
    auto events = cli::LineEvents(out.file(), cli::Utf8);
    events->Text("port", L"ttyX\nresult: success");
    EXPECT_EQ(out.text(), "port: ttyX\\nresult: success\n");
}

// --- the progress line ------------------------------------------------------

class TerminalLine : public ::testing::Test {
protected:
    Steady::time_point now_ = Steady::time_point(100s);
    Captured out_;
    std::unique_ptr<cli::Events> Make(int columns) {
        return cli::TerminalEvents(
            out_.file(), columns, [this] { return now_; }, cli::Utf8);
    }
};

TEST_F(TerminalLine, ShowsPercentBytesRateElapsedLeftAndStatus) {
    auto events = Make(100);
    events->Text("status", L"loading ...");
    events->Progress(0, 40960);
    now_ += 2s;
    events->Progress(10240, 40960);
    EXPECT_EQ(LastDrawn(out_.text()), " 25%  10,240/40,960 bytes  5.0 KiB/s  0:02 elapsed  0:06 left  loading ...");
}

TEST_F(TerminalLine, RedrawsInPlaceAndErasesTheRest) {
    auto events = Make(100);
    events->Progress(0, 1000);
    now_ += 1s;
    events->Progress(500, 1000);
    const std::string text = out_.text();
    EXPECT_EQ(text.find('\n'), std::string::npos) << "the line was redrawn, not repeated";
    EXPECT_EQ(text.substr(0, 1), "\r");
    EXPECT_TRUE(Contains(text, "\x1b[K\r")) << text;
}

TEST_F(TerminalLine, RedrawsAtMostTenTimesASecondUntilTheEnd) {
    auto events = Make(100);
    events->Progress(0, 1000);
    const size_t drawn = out_.text().size();
    now_ += 50ms;
    events->Text("status", L"loading ...");
    EXPECT_EQ(out_.text().size(), drawn) << "a change 50 ms after the last draw waits";
    now_ += 50ms;
    events->Progress(1000, 1000);
    EXPECT_TRUE(Contains(LastDrawn(out_.text()), "100%  1,000/1,000 bytes")) << "the last position is always drawn";
}

TEST_F(TerminalLine, ChangeHeldBackIsDrawnAtTheNextTickAfterTheLimit) {
    auto events = Make(100);
    events->Progress(0, 1000);
    now_ += 50ms;
    events->Progress(300, 1000);
    events->Tick();
    EXPECT_TRUE(Contains(LastDrawn(out_.text()), "  0%  0/1,000 bytes")) << "still within the limit";
    now_ += 50ms;
    events->Tick();
    EXPECT_TRUE(Contains(LastDrawn(out_.text()), " 30%  300/1,000 bytes")) << out_.text();
}

TEST_F(TerminalLine, NeverReachesTheLastColumn) {
    auto events = Make(40);
    events->Text("status", L"正在升级终端，请不要拔掉电缆");
    events->Progress(5, 10);
    const std::string line = LastDrawn(out_.text());
    std::wstring wide = cli::Wide(line.c_str());
    int cells = 0;
    for (wchar_t c : wide)
        cells += c >= 0x2E80 ? 2 : 1;
    EXPECT_LE(cells, 39) << line;
    EXPECT_TRUE(Contains(line, " 50%")) << line;
}

TEST_F(TerminalLine, OtherTextsGoAboveTheLineEscaped) {
    auto events = Make(100);
    events->Progress(0, 10);
    events->Text("message", L"bad\x1b[2Jname");
    const std::string text = out_.text();
    EXPECT_TRUE(Contains(text, "\r\x1b[Kmessage: bad\\e[2Jname\n\r")) << text;
    EXPECT_EQ(text.find("\x1b[2J"), std::string::npos);
}

TEST_F(TerminalLine, EndsWithTheResultInWordsAndTheExitCode) {
    auto events = Make(100);
    events->Progress(0, 10);
    now_ += 1s;
    events->Progress(10, 10);
    events->Result("reply-timeout", 6);
    const std::string text = out_.text();
    EXPECT_TRUE(text.ends_with("\x1b[K\nresult: reply-timeout, the terminal stopped answering (exit code 6)\n"))
        << text;
}

TEST_F(TerminalLine, ElapsedTimeAdvancesWhileWaitingAndRateHoldsInAPause) {
    auto events = Make(100);
    events->Progress(0, 2048);
    now_ += 1s;
    events->Progress(1024, 2048);
    now_ += 65s;
    events->Tick();
    EXPECT_EQ(LastDrawn(out_.text()), " 50%  1,024/2,048 bytes  1.0 KiB/s  1:06 elapsed  0:01 left");
}

// --- JSON -------------------------------------------------------------------

TEST(JsonEvents, OneObjectPerEventWithATimeStamp) {
    Captured out;
    const auto when = std::chrono::sys_days{std::chrono::year{2026} / 12 / 8} + 10h + 40min + 18s + 123ms;
    auto events = cli::JsonEvents(out.file(), [&] { return std::chrono::system_clock::time_point(when); });
    events->Text("status", L"loader \"ok\"\n");
    events->Progress(3, 12);
    events->Result("success", 0);
    EXPECT_EQ(out.text(),
              "{\"time\":\"2026-12-08T10:40:18.123Z\",\"event\":\"status\",\"text\":\"loader \\\"ok\\\"\\n\"}\n"
              "{\"time\":\"2026-12-08T10:40:18.123Z\",\"event\":\"progress\",\"position\":3,\"total\":12}\n"
              "{\"time\":\"2026-12-08T10:40:18.123Z\",\"event\":\"result\",\"result\":\"success\",\"exit\":0}\n");
}

}  // namespace
