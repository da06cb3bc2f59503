// The server's bodies: the status shape, runs with exactly their log
// line's fields plus seq, the event framing, and Prometheus label escaping.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "station/web/render.h"

namespace station::web {
namespace {

using Json = nlohmann::ordered_json;

TEST(StatusJson, HoldsStationScriptTotalsAndSlots) {
    StationState s;
    s.host = "line7";
    s.scriptName = "up.asc";
    s.scriptSize = 4242;
    s.scriptSha256 = std::string(64, 'f');
    s.passed = 3;
    s.failed = 1;
    s.running = 2;
    s.logWritable = false;
    SlotState a;
    a.key = "A1";
    a.label = "A1";
    a.location = "1-1.2";
    a.serial = "S\"<b>\x01\xff";
    a.state = "running";
    a.attempt = 2;
    a.retries = 2;
    s.slots = {a};
    const Json j = Json::parse(StatusJson(s, 9));
    EXPECT_EQ(j["station"]["host"], "line7");
    EXPECT_EQ(j["station"]["log_writable"], false);
    EXPECT_EQ(j["script"]["size"], 4242);
    EXPECT_EQ(j["script"]["sha256"], std::string(64, 'f'));
    EXPECT_EQ(j["totals"]["passed"], 3);
    EXPECT_EQ(j["totals"]["running"], 2);
    EXPECT_EQ(j["last_seq"], 9);
    ASSERT_EQ(j["slots"].size(), 1u);
    EXPECT_EQ(j["slots"][0]["serial"], "S\"<b>\x01\xEF\xBF\xBD") << "an invalid byte becomes U+FFFD, the rest is kept";
    EXPECT_EQ(j["slots"][0]["attempt"], 2);
    EXPECT_EQ(j["slots"][0]["location"], "1-1.2");
}

TEST(RunWithSeq, KeepsEveryFieldOfTheLogLineInItsOrderAndAddsSeq) {
    const std::string line =
        R"({"start":"2026-12-08T11:14:38.123Z","port":"ttyACM0","serial":"a\"b\u0001","result":"success","duration_s":2.5})";
    const Json original = Json::parse(line);
    const Json j = Json::parse(RunWithSeq({17, line}));
    ASSERT_EQ(j.size(), original.size() + 1);
    auto it = j.begin();
    for (auto o = original.begin(); o != original.end(); ++o, ++it) {
        EXPECT_EQ(it.key(), o.key());
        EXPECT_EQ(it.value(), o.value());
    }
    EXPECT_EQ(j["seq"], 17);
}

TEST(RunWithSeq, KeepsALineThatIsNoObjectAsText) {
    const Json j = Json::parse(RunWithSeq({3, "not json"}));
    EXPECT_EQ(j["line"], "not json");
    EXPECT_EQ(j["seq"], 3);
    EXPECT_EQ(Json::parse(RunWithSeq({4, "{}"}))["seq"], 4);
}

TEST(RunsJson, SaysWhereTheNextPageStarts) {
    const Json j = Json::parse(RunsJson({{5, "{\"a\":1}"}, {6, "{\"a\":2}"}}, 4, 2));
    EXPECT_EQ(j["runs"].size(), 2u);
    EXPECT_EQ(j["next"], 6);
    EXPECT_EQ(j["first_held"], 2);
    const Json none = Json::parse(RunsJson({}, 6, 2));
    EXPECT_EQ(none["next"], 6) << "no new runs: ask with the same since again";
}

TEST(EventMessage, SplitsDataAtNewlines) {
    EXPECT_EQ(EventMessage("state", "{}"), "event: state\ndata: {}\n\n");
    EXPECT_EQ(EventMessage("run", "a\nb", 7), "event: run\nid: 7\ndata: a\ndata: b\n\n");
}

TEST(PrometheusLabel, EscapesAndReplacesWhatTheFormatCannotCarry) {
    EXPECT_EQ(PrometheusLabel("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(PrometheusLabel("x\x01y\xff"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(PrometheusLabel("Kasse \xc3\xa4"), "Kasse \xc3\xa4");
    EXPECT_EQ(PrometheusLabel("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "a surrogate is no UTF-8";
}

TEST(MetricsText, CountsRunsBySlotAndResult) {
    Board board;
    board.AddRun("{}", "A1", "success", 12);
    board.AddRun("{}", "A1", "success", 14);
    board.AddRun("{}", "B\"2", "reply-timeout", 31);
    StationState s;
    s.running = 2;
    s.waiting = 1;
    s.scriptSha256 = "ab12";
    const std::string text = MetricsText(s, board.GetCounters());
    EXPECT_NE(text.find("vantrel_runs_total{result=\"success\",slot=\"A1\"} 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_runs_total{result=\"reply-timeout\",slot=\"B\\\"2\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_run_duration_seconds_bucket{le=\"30\"} 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_run_duration_seconds_count 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_runs_running 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_units_waiting 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("vantrel_script_info{sha256=\"ab12\""), std::string::npos) << text;
}

}  // namespace
}  // namespace station::web
