// Taking the screenshot and ending the program after it.
//
// The program ends the way it would end by itself: the dialog's modal loop
// is ended (EndDialog), the framework's start routine returns and main()
// returns 0. Only when the window is no dialog does the process end at once,
// after its output is flushed.
#include "platform/posix/user32/qt/screenshot.h"

#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix/user32/qt/event_wait.h"

namespace ui_qt {
namespace {

int DelayMs() {
    const char* text = std::getenv("VANTREL_SCREENSHOT_DELAY_MS");
    if (!text || !*text)
        return 1500;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 600000) {
        std::fprintf(stderr, "screenshot: VANTREL_SCREENSHOT_DELAY_MS=\"%s\" is no delay in ms; using 1500\n", text);
        return 1500;
    }
    return static_cast<int>(value);
}

void Take(HWND hwnd, QWidget* widget, const QString& path, bool exitAfter) {
    const QPixmap picture = widget->grab();
    const bool saved = !picture.isNull() && picture.save(path, "PNG");
    if (saved) {
        std::printf("screenshot: %s\n", path.toLocal8Bit().constData());
    } else {
        std::fprintf(stderr, "screenshot: cannot save %s\n", path.toLocal8Bit().constData());
    }
    std::fflush(nullptr);
    if (!exitAfter)
        return;
    if (!saved)
        std::_Exit(1);  // a demo run whose picture is missing must not look successful
    if (EndDialog(hwnd, IDCANCEL)) {
        InputHandled();
        return;
    }
    std::_Exit(0);
}

}  // namespace

void ArmScreenshot(HWND hwnd, QWidget* widget) {
    const char* path = std::getenv("VANTREL_SCREENSHOT");
    if (!path || !*path)
        return;
    const char* exitText = std::getenv("VANTREL_EXIT_AFTER_SCREENSHOT");
    const bool exitAfter = exitText && std::string(exitText) == "1";
    const QString file = QString::fromLocal8Bit(path);
    QPointer<QWidget> target(widget);
    QTimer::singleShot(DelayMs(), widget, [hwnd, target, file, exitAfter] {
        if (target)
            Take(hwnd, target, file, exitAfter);
    });
}

}  // namespace ui_qt
