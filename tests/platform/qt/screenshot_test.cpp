// The screenshot hook: a PNG of the dialog, as large as the dialog, and the
// line that names it.
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <cstdlib>

#include "platform/posix/user32/qt/driver.h"
#include "tests/platform/qt/dialog_fixture.h"

namespace qt_test {
namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : name_(name) { setenv(name, value.constData(), 1); }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
};

TEST(QtScreenshot, SavesThePictureOfTheDialogAndNamesIt) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("dialog.png"));
    RecordingDialog dlg;
    ::testing::internal::CaptureStdout();
    {
        ScopedEnv shot("VANTREL_SCREENSHOT", QFile::encodeName(path));
        ScopedEnv delay("VANTREL_SCREENSHOT_DELAY_MS", "50");
        ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    }
    const bool saved = PumpUntil([&] { return QFile::exists(path) && QFile(path).size() > 0; }, 3000);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(saved);
    EXPECT_NE(out.find("screenshot: " + path.toStdString()), std::string::npos) << out;
    const QImage image(path);
    ASSERT_FALSE(image.isNull());
    QWidget* window = ui_qt::WidgetFor(dlg.m_hWnd.load());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(image.size(), window->size() * window->devicePixelRatio());
    dlg.DestroyWindow();
    FlushDeletes();
}

TEST(QtScreenshot, NothingIsSavedWithoutTheVariable) {
    unsetenv("VANTREL_SCREENSHOT");
    RecordingDialog dlg;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    PumpUntil([] { return false; }, 150);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("screenshot:"), std::string::npos);
    dlg.DestroyWindow();
    FlushDeletes();
}

}  // namespace
}  // namespace qt_test
