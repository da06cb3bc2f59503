// LoadUpgradeScript and FreeUpgradeScript on real files in a temporary
// current directory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "common/state.h"
#include "engine/script.h"
#include "platform/api.h"
#include "platform/posix/kernel32/file_steps.h"
#include "tools/process/child.h"

namespace {

class ScriptLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetUpgradeStateForTest();
        std::random_device random;
        oldDir_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("vantrel-script-" + std::to_string(getpid()) + "-" + std::to_string(random()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        SetUpgradeScriptName(L"upgrader.asc");
    }
    void TearDown() override {
        FreeUpgradeScript();
        std::error_code ignored;
        std::filesystem::current_path(oldDir_, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }
    void Write(const std::vector<unsigned char>& bytes) {
        std::ofstream out(dir_ / "upgrader.asc", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static std::vector<unsigned char> Bytes(size_t count, unsigned char first = 0) {
        std::vector<unsigned char> bytes(count);
        for (size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<unsigned char>(first + i);
        return bytes;
    }

    std::filesystem::path dir_, oldDir_;
};

TEST_F(ScriptLoaderTest, HeaderOnlyFileLoadsWithNoRecords) {
    Write(Bytes(32));
    ASSERT_TRUE(LoadUpgradeScript());
    const UpgradeScript& script = State().script;
    ASSERT_NE(script.buffer, nullptr);
    EXPECT_EQ(script.total, 0);
    EXPECT_EQ(script.remaining, 0);
    EXPECT_EQ(script.cursor, script.buffer.get() + 32);
}

TEST_F(ScriptLoaderTest, WholeFileIsHeldWithCursorAfterHeader) {
    std::vector<unsigned char> bytes = Bytes(32, 0x40);
    // A send record with a 256-byte payload: the length is big-endian.
    bytes.insert(bytes.end(), {0x11, 0x01, 0x00});
    const std::vector<unsigned char> payload = Bytes(256, 7);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    Write(bytes);

    ASSERT_TRUE(LoadUpgradeScript());
    const UpgradeScript& script = State().script;
    EXPECT_EQ(script.total, 3 + 256);
    EXPECT_EQ(script.remaining, 3 + 256);
    ASSERT_EQ(script.cursor, script.buffer.get() + 32);
    EXPECT_EQ(std::vector<unsigned char>(script.buffer.get(), script.buffer.get() + bytes.size()), bytes);
}

TEST_F(ScriptLoaderTest, MissingFileIsRejected) {
    EXPECT_FALSE(LoadUpgradeScript());
    EXPECT_EQ(State().script.buffer, nullptr);
}

TEST_F(ScriptLoaderTest, EmptyFileIsRejected) {
    Write({});
    EXPECT_FALSE(LoadUpgradeScript());
    EXPECT_EQ(State().script.buffer, nullptr);
}

TEST_F(ScriptLoaderTest, FileShorterThanHeaderIsRejected) {
    for (size_t length : {size_t{1}, size_t{16}, size_t{31}}) {
        Write(Bytes(length));
        EXPECT_FALSE(LoadUpgradeScript()) << length << " bytes";
        EXPECT_EQ(State().script.buffer, nullptr) << length << " bytes";
    }
}

TEST_F(ScriptLoaderTest, FileHeldOpenElsewhereIsRejected) {
    Write(Bytes(40));
    const std::wstring path = (dir_ / "upgrader.asc").wstring();
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(LoadUpgradeScript());
    EXPECT_EQ(State().script.buffer, nullptr);
    CloseHandle(held);
    EXPECT_TRUE(LoadUpgradeScript());
}

TEST_F(ScriptLoaderTest, SecondLoadReplacesTheFirstBuffer) {
    Write(Bytes(36, 1));
    ASSERT_TRUE(LoadUpgradeScript());
    Write(Bytes(40, 100));
    ASSERT_TRUE(LoadUpgradeScript());
    const UpgradeScript& script = State().script;
    EXPECT_EQ(script.total, 8);
    EXPECT_EQ(script.buffer[0], 100);
    EXPECT_EQ(script.buffer[39], 139);
}

TEST_F(ScriptLoaderTest, FailedLoadReleasesAnEarlierBuffer) {
    Write(Bytes(36));
    ASSERT_TRUE(LoadUpgradeScript());
    std::filesystem::remove(dir_ / "upgrader.asc");
    EXPECT_FALSE(LoadUpgradeScript());
    EXPECT_EQ(State().script.buffer, nullptr);
}

TEST_F(ScriptLoaderTest, FreeReleasesTheBuffer) {
    Write(Bytes(33));
    ASSERT_TRUE(LoadUpgradeScript());
    FreeUpgradeScript();
    EXPECT_EQ(State().script.buffer, nullptr);
    FreeUpgradeScript();  // nothing held: no effect
    EXPECT_EQ(State().script.buffer, nullptr);
}

TEST_F(ScriptLoaderTest, NameIsLookedUpInTheCurrentDirectory) {
    Write(Bytes(34));
    const auto elsewhere = dir_ / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::current_path(elsewhere);
    EXPECT_FALSE(LoadUpgradeScript());
    std::filesystem::current_path(dir_);
    EXPECT_TRUE(LoadUpgradeScript());
}

// ---------------------------------------------------------------- a script that changes while it is loaded
// Another process rewrites upgrader.asc at an exact point of the load,
// taking no lock (as cp or an editor does): as the first open, which only
// takes the length, is closed, or between the second open and its read. The
// platform tells the test when a file is opened, read and closed, so the
// writer runs, and ends, at that point on every run.
class ChangingScriptTest : public ScriptLoaderTest {
protected:
    static constexpr size_t kScriptBytes = 32 + 3 + 200;

    void SetUp() override {
        ScriptLoaderTest::SetUp();
        original_ = Bytes(kScriptBytes, 1);
        Write(original_);
        // Last written an hour ago: a rewrite now always moves the time, even
        // where file times have a coarse grain.
        std::filesystem::last_write_time(dir_ / "upgrader.asc",
                                         std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
        WriteFile(dir_ / "other.asc", Bytes(kScriptBytes, 77));
    }
    void TearDown() override {
        platform::SetFileStepObserver(nullptr);
        ScriptLoaderTest::TearDown();
    }
    static void WriteFile(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // Runs the shell command once, in the test's directory, at the given
    // step of the given open (1: the first), and waits for it to end.
    void WriteAt(platform::FileStep step, int open, const std::string& command) {
        platform::SetFileStepObserver([this, step, open, command](platform::FileStep now, const std::string& path) {
            if (path != "upgrader.asc")
                return;
            if (now == platform::FileStep::Opened)
                ++opens_;
            if (now != step || opens_ != open || ran_)
                return;
            ran_ = true;
            tools::process::Options options;
            options.cwd = dir_.string();
            tools::process::Child writer({"/bin/sh", "-c", command}, options);
            const tools::process::ExitStatus status = writer.Wait(std::chrono::seconds(10));
            writerExit_ = status.shell_code();
        });
    }
    void ExpectRefused() {
        EXPECT_FALSE(LoadUpgradeScript());
        EXPECT_TRUE(ran_) << "the writer never ran";
        EXPECT_EQ(writerExit_, 0);
        EXPECT_EQ(State().script.buffer, nullptr);
    }

    std::vector<unsigned char> original_;
    int opens_ = 0;
    bool ran_ = false;
    int writerExit_ = -1;
};

TEST_F(ChangingScriptTest, UnchangedScriptLoadsWithTheObserverInPlace) {
    WriteAt(platform::FileStep::Reading, 2, "true");
    ASSERT_TRUE(LoadUpgradeScript());
    EXPECT_TRUE(ran_);
    EXPECT_EQ(std::vector<unsigned char>(State().script.buffer.get(), State().script.buffer.get() + kScriptBytes),
              original_);
}

TEST_F(ChangingScriptTest, CutBetweenOpenAndReadIsRefused) {
    // Cut at a record boundary: read as it is, the tail would be zeros.
    WriteAt(platform::FileStep::Reading, 2, "truncate -s 35 upgrader.asc");
    ExpectRefused();
}

TEST_F(ChangingScriptTest, SameSizeRewriteBetweenOpenAndReadIsRefused) {
    WriteAt(platform::FileStep::Reading, 2, "cp other.asc upgrader.asc");
    ExpectRefused();
}

TEST_F(ChangingScriptTest, GrowthBetweenTheTwoOpensIsRefused) {
    WriteAt(platform::FileStep::Closing, 1, "cat other.asc >> upgrader.asc");
    ExpectRefused();
}

TEST_F(ChangingScriptTest, SameSizeRewriteBetweenTheTwoOpensIsRefused) {
    WriteAt(platform::FileStep::Closing, 1, "cp other.asc upgrader.asc");
    ExpectRefused();
}

TEST_F(ChangingScriptTest, ReplacementByRenameBetweenTheTwoOpensIsRefused) {
    // A new file under the old name, with the old size and even the old time.
    WriteAt(platform::FileStep::Closing, 1,
            "cp other.asc new.asc && touch -r upgrader.asc new.asc && mv new.asc upgrader.asc");
    ExpectRefused();
}

TEST_F(ChangingScriptTest, RefusedScriptLoadsOnceLeftAlone) {
    WriteAt(platform::FileStep::Reading, 2, "cp other.asc upgrader.asc");
    ASSERT_FALSE(LoadUpgradeScript());
    platform::SetFileStepObserver(nullptr);
    ASSERT_TRUE(LoadUpgradeScript());
    EXPECT_EQ(State().script.buffer[0], 77);
}

}  // namespace
