// The child-process library against /bin/sh and cat: lines and their
// arrival times, stdin feeding, the hard limit, ends by signal, the start's
// options and failures, and several children served from one thread. Every
// wait has a deadline; the children that would hang sleep far longer than
// any deadline, so a limit that fails to kill shows as a failure, not a hang.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/process/child.h"

namespace tools::process {
namespace {

using namespace std::chrono_literals;

constexpr const char* kShell = "/bin/sh";

std::vector<std::string> Shell(const std::string& script) { return {kShell, "-c", script}; }

Options WithStdin() {
    Options o;
    o.input = Options::Input::Pipe;
    return o;
}

TEST(Child, OutputLinesArriveInOrderStampedWhenTheyCame) {
    Child child(Shell("echo one; echo two; read x; echo \"three $x\"; printf tail"), WithStdin());
    const auto one = child.ReadLine(5s);
    const auto two = child.ReadLine(5s);
    ASSERT_TRUE(one && two) << child.text(Stream::Out);
    EXPECT_EQ(one->text, "one");
    EXPECT_EQ(two->text, "two");
    EXPECT_LE(one->at, two->at);
    EXPECT_LE(two->at, Clock::now());
    // The third line cannot exist before we answer the read: its stamp must
    // come after the answer.
    const auto answered = Clock::now();
    ASSERT_TRUE(child.Write("go\n"));
    const auto three = child.ReadLine(5s);
    ASSERT_TRUE(three) << child.text(Stream::Out);
    EXPECT_EQ(three->text, "three go");
    EXPECT_GE(three->at, answered);
    EXPECT_EQ(three->stream, Stream::Out);
    // The unterminated last line comes with the end of the stream.
    const auto tail = child.ReadLine(5s);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->text, "tail");
    EXPECT_FALSE(child.ReadLine(5s)) << "the stream has ended";
    const ExitStatus end = child.Wait(5s);
    EXPECT_TRUE(end.exited());
    EXPECT_EQ(end.code, 0);
    EXPECT_EQ(child.text(Stream::Out), "one\ntwo\nthree go\ntail");
}

// More than a pipe holds in each direction: a writer that blocked on stdin
// while cat blocks on a full stdout would never finish.
TEST(Child, StdinFeedsTheChildAndClosingItEndsTheInput) {
    std::string input;
    for (int i = 0; input.size() < 512 * 1024; ++i)
        input += "line " + std::to_string(i) + "\n";
    Child child({"/bin/cat"}, WithStdin());
    ASSERT_TRUE(child.Write(input));
    child.CloseStdin();
    const ExitStatus end = child.Wait(20s);
    ASSERT_FALSE(end.timed_out) << child.stdin_pending() << " bytes never went out";
    EXPECT_EQ(end.code, 0);
    EXPECT_EQ(child.stdin_pending(), 0u);
    EXPECT_EQ(child.text(Stream::Out).size(), input.size());
    EXPECT_TRUE(child.text(Stream::Out) == input) << "the bytes came back altered";
    EXPECT_FALSE(child.Write("more")) << "stdin is closed";
}

TEST(Child, WritingToAChildThatClosedItsStdinFailsWithoutKillingUs) {
    Child child(Shell("exec 0<&-; echo closed; exec sleep 60"), WithStdin());
    ASSERT_TRUE(child.ReadLine(5s));
    // The pipe has no reader left: the write fails (EPIPE) instead of
    // raising SIGPIPE here, and stdin is closed from then on.
    EXPECT_FALSE(child.Write("x"));
    EXPECT_FALSE(child.Write("y"));
    EXPECT_EQ(child.stdin_pending(), 0u);
    EXPECT_TRUE(child.Running());
}

// The child ignores SIGTERM; only the kill at the limit ends it.
TEST(Child, HardLimitKillsAHungChildAndSaysSo) {
    Child child(Shell("trap '' TERM; echo ready; exec sleep 60"));
    ASSERT_TRUE(child.ReadLine(5s));
    const auto started = Clock::now();
    const ExitStatus end = child.Wait(200ms);
    EXPECT_LT(Clock::now() - started, 30s) << "Wait outlived its limit";
    EXPECT_TRUE(end.timed_out);
    EXPECT_FALSE(end.exited());
    EXPECT_EQ(end.signal, SIGKILL);
    EXPECT_FALSE(child.Running());
    EXPECT_FALSE(child.Signal(SIGTERM)) << "a reaped pid may be someone else's";
    ASSERT_TRUE(child.exit_status());
    EXPECT_TRUE(child.exit_status()->timed_out);
}

TEST(Child, EndBySignalIsReportedAsSuch) {
    Child ours(Shell("echo ready; exec sleep 60"));
    ASSERT_TRUE(ours.ReadLine(5s));
    ASSERT_TRUE(ours.Signal(SIGTERM));
    const ExitStatus by_us = ours.Wait(10s);
    EXPECT_FALSE(by_us.timed_out);
    EXPECT_FALSE(by_us.exited());
    EXPECT_EQ(by_us.signal, SIGTERM);
    EXPECT_EQ(by_us.code, -1);
    EXPECT_EQ(by_us.shell_code(), 128 + SIGTERM);

    Child own(Shell("kill -USR1 $$"));
    const ExitStatus by_itself = own.Wait(10s);
    EXPECT_FALSE(by_itself.timed_out);
    EXPECT_EQ(by_itself.signal, SIGUSR1);

    Child plain(Shell("exit 7"));
    const ExitStatus exited = plain.Wait(10s);
    EXPECT_TRUE(exited.exited());
    EXPECT_EQ(exited.code, 7);
    EXPECT_EQ(exited.shell_code(), 7);
}

TEST(Child, StderrIsKeptApartOrMergedOnRequest) {
    Child apart(Shell("echo out; echo err >&2"));
    const auto err = apart.ReadLine(5s, Stream::Err);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->stream, Stream::Err);
    EXPECT_EQ(err->text, "err");
    apart.Wait(5s);
    EXPECT_EQ(apart.text(Stream::Out), "out\n");
    EXPECT_EQ(apart.text(Stream::Err), "err\n");

    Options merge;
    merge.error_output = Options::ErrorOutput::Merge;
    Child merged(Shell("echo out; echo err >&2"), merge);
    merged.Wait(5s);
    EXPECT_EQ(merged.text(Stream::Out), "out\nerr\n");
    EXPECT_TRUE(merged.ended(Stream::Err));
    EXPECT_FALSE(merged.TakeLine(Stream::Err));
}

TEST(Child, StartsInItsDirectoryWithTheExtraEnvironment) {
    Options o;
    o.cwd = "/";
    o.env = {{"VANTREL_PROCESS_TEST", "set"}, {"HOME", "/replaced"}};
    Child child(Shell("pwd; echo \"$VANTREL_PROCESS_TEST $HOME\"; test -n \"$PATH\" && echo kept"), o);
    child.Wait(5s);
    EXPECT_EQ(child.text(Stream::Out), "/\nset /replaced\nkept\n");
}

TEST(Child, StartFailureNamesTheProgramTheStepAndTheReason) {
    try {
        Child child({"/nonexistent/program"});
        FAIL() << "started a missing program";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "running /nonexistent/program: starting the program: No such file or directory");
    }
    try {
        Options o;
        o.cwd = "/nonexistent/dir";
        Child child({kShell, "-c", "true"}, o);
        FAIL() << "started in a missing directory";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "running /bin/sh: changing to the directory /nonexistent/dir: No such file or directory");
    }
    try {
        Options o;
        o.before_exec = [] { return EPERM; };
        o.before_exec_step = "narrowing its rights";
        Child child({kShell, "-c", "true"}, o);
        FAIL() << "started although the preparation failed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "running /bin/sh: narrowing its rights: Operation not permitted");
    }
}

TEST(Child, DestructorKillsAndReapsARunningChild) {
    pid_t pid = -1;
    {
        Child child(Shell("exec sleep 60"));
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    // Reaped: it is no child of ours any more (no zombie left behind).
    int st = 0;
    EXPECT_EQ(::waitpid(pid, &st, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Three children answered out of order, all served by one loop.
TEST(PumpAll, OneThreadServesSeveralChildren) {
    std::vector<std::unique_ptr<Child>> children;
    std::vector<Child*> all;
    for (int i = 0; i < 3; ++i) {
        children.push_back(
            std::make_unique<Child>(Shell("read x; echo \"child " + std::to_string(i) + " got $x\""), WithStdin()));
        all.push_back(children.back().get());
    }
    for (int i = 2; i >= 0; --i)
        ASSERT_TRUE(children[i]->Write(std::to_string(i * 10) + "\n"));
    const auto until = Clock::now() + 10s;
    auto all_done = [&] {
        for (Child* c : all) {
            if (!c->exit_status() || !c->ended(Stream::Out))
                return false;
        }
        return true;
    };
    while (!all_done() && Clock::now() < until)
        PumpAll(all, 100ms);
    ASSERT_TRUE(all_done());
    for (int i = 0; i < 3; ++i) {
        const auto line = children[i]->TakeLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(line->text, "child " + std::to_string(i) + " got " + std::to_string(i * 10));
        EXPECT_EQ(children[i]->exit_status()->code, 0);
    }
}

Options WithoutPidFd() {
    Options o;
    o.use_pidfd = false;
    return o;
}

// Without a pidfd (an older kernel) a child that has closed its output but
// still runs leaves nothing to poll: each pump must still sleep until the
// next look at the child instead of returning at once, or every wait spins.
TEST(PumpAll, SleepsBetweenLooksAtARunningChildWithNothingToPoll) {
    Child child(Shell("exec >&- 2>&-; sleep 0.3"), WithoutPidFd());
    ASSERT_FALSE(child.watches_exit());
    std::vector<Child*> all{&child};
    const auto start = Clock::now();
    long long pumps = 0;
    while (!child.exit_status() && Clock::now() < start + 10s) {
        PumpAll(all, 1s);
        ++pumps;
    }
    const auto took = Clock::now() - start;
    ASSERT_TRUE(child.exit_status()) << "the child was not seen to end within 10 s";
    EXPECT_EQ(child.exit_status()->code, 0);
    // A few pumps return early for the pipes' end of file; every other one
    // sleeps a whole check interval.
    const long long bound = took / Child::kExitCheckInterval + 5;
    EXPECT_LE(pumps, bound) << pumps << " pumps in "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST(Child, WaitSeesTheEndOfAChildWithoutPidFd) {
    Child child(Shell("exec >&- 2>&-; sleep 0.1; exit 3"), WithoutPidFd());
    const ExitStatus end = child.Wait(10s);
    EXPECT_FALSE(end.timed_out);
    EXPECT_EQ(end.code, 3);
}

}  // namespace
}  // namespace tools::process
