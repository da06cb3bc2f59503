// The driver table of the Qt back end and the map from windows to widgets.
//
// Widgets are made with new and owned by Qt's parent chain; a top-level
// widget is deleted when its window is destroyed. A widget
// whose window goes is hidden at once and deleted later, from the event
// loop, because the destruction is often asked for from inside one of its
// own signal handlers (a click that ends the dialog).
#include "platform/posix/user32/qt/driver.h"

#include <QApplication>
#include <QPointer>
#include <QScreen>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "platform/posix/user32/qt/application.h"
#include "platform/posix/user32/qt/dialog_units.h"
#include "platform/posix/user32/qt/event_wait.h"
#include "platform/posix/user32/qt/icon.h"
#include "platform/posix/user32/qt/input_filter.h"
#include "platform/posix/user32/qt/message_box.h"
#include "platform/posix/user32/qt/mirror.h"
#include "platform/posix/user32/qt/screenshot.h"
#include "platform/posix/user32/qt/widgets.h"
#include "platform/posix/user32/window_driver.h"

namespace ui_qt {
namespace {

// The dialog font's point size: the template's ("MS Shell Dlg", 8 points).
constexpr int kDialogPointSize = 8;

Qt::WindowFlags TopLevelFlags(DWORD style) {
    // Only what the style asks for: without WS_SYSMENU there is no close box,
    // no system menu and no minimise or maximise box.
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint;
    if ((style & WS_CAPTION) == WS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if (style & WS_SYSMENU) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (style & WS_MINIMIZEBOX)
            flags |= Qt::WindowMinimizeButtonHint;
        if (style & WS_MAXIMIZEBOX)
            flags |= Qt::WindowMaximizeButtonHint;
    }
    return flags;
}

class QtDriver final : public user32::WindowDriver {
public:
    // Nothing of Qt is touched when the driver goes at static destruction:
    // the widgets of windows still open at exit and the application are left
    // to the end of the process (see application.cpp).
    ~QtDriver() override = default;

    void WindowCreated(HWND hwnd) override {
        if (!Prepare("WindowCreated"))
            return;
        const DWORD style = WindowStyle(hwnd);
        const HWND parent = GetParent(hwnd);
        if ((style & WS_CHILD) && parent) {
            QWidget* parentWidget = Find(parent);
            const auto scale = scales_.find(TopLevelOf(hwnd));
            if (!parentWidget || scale == scales_.end())
                return;  // its parent is not shown here
            widgets_[hwnd] = CreateControl(hwnd, parentWidget, scale->second.from, scale->second.to);
            return;
        }
        CreateTopLevel(hwnd, style);
    }

    void WindowDestroyed(HWND hwnd) override {
        if (!OnGuiThread())
            return;
        scales_.erase(hwnd);
        const auto it = widgets_.find(hwnd);
        if (it == widgets_.end())
            return;
        QPointer<QWidget> widget = it->second;
        widgets_.erase(it);
        if (!widget)
            return;
        widget->hide();
        widget->deleteLater();
    }

    void WindowChanged(HWND hwnd, UINT message) override {
        if (!OnGuiThread())
            return;
        QWidget* widget = Find(hwnd);
        if (!widget)
            return;
        switch (message) {
            case WM_SETTEXT:
                MirrorText(hwnd, widget);
                break;
            case WM_ENABLE:
                MirrorEnabled(hwnd, widget);
                break;
            case WM_SHOWWINDOW:
            case WM_SIZE:
                MirrorVisible(hwnd, widget);
                break;
            case WM_SETICON:
                MirrorIcon(hwnd, widget);
                break;
            case WM_SETFOCUS:
                if (!widget->isWindow() && widget->focusPolicy() != Qt::NoFocus)
                    widget->setFocus(Qt::OtherFocusReason);
                break;
            case CB_ADDSTRING:
            case CB_INSERTSTRING:
            case CB_DELETESTRING:
            case CB_RESETCONTENT:
            case CB_SETCURSEL:
            case CB_SELECTSTRING:
                if (auto* combo = qobject_cast<QComboBox*>(widget))
                    MirrorComboItems(hwnd, combo);
                break;
            case PBM_SETPOS:
            case PBM_SETRANGE:
            case PBM_SETRANGE32:
            case PBM_DELTAPOS:
            case PBM_STEPIT:
                if (auto* bar = qobject_cast<QProgressBar*>(widget))
                    MirrorProgress(hwnd, bar);
                break;
            default:
                break;
        }
    }

    void WaitForEvents(DWORD timeoutMs) override { waiter_.Wait(timeoutMs); }
    void Wake(DWORD threadId) override { waiter_.Wake(threadId); }

    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) override {
        QApplication* app = EnsureApplication();
        if (!OnGuiThread()) {
            // Widgets exist on the GUI thread only: the box is shown there
            // and this thread waits for the answer.
            int answer = 0;
            QMetaObject::invokeMethod(
                app, [&] { answer = ShowBox(owner, text, caption, type); }, Qt::BlockingQueuedConnection);
            return answer;
        }
        return ShowBox(owner, text, caption, type);
    }

    DWORD Now() override {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<DWORD>(ms.count());
    }

    int ScreenWidth() override { return ScreenSize().width(); }
    int ScreenHeight() override { return ScreenSize().height(); }

    QWidget* Find(HWND hwnd) const {
        const auto it = widgets_.find(hwnd);
        return it == widgets_.end() ? nullptr : it->second.data();
    }

    EventWait& Waiter() { return waiter_; }

private:
    struct Scale {
        BaseUnits from;  // the window system's
        BaseUnits to;    // the widgets' font's
    };

    // The application exists and the caller is its thread.
    bool Prepare(const char* what) {
        EnsureApplication();
        if (!OnGuiThread()) {
            if (!warnedThread_) {
                std::fprintf(stderr, "vantrel_ui_qt: %s on a thread other than Qt's GUI thread; not shown\n", what);
                warnedThread_ = true;
            }
            return false;
        }
        if (!filter_) {
            // A child of the application, which is never torn down (application.cpp).
            filter_ = new InputFilter;
            filter_->setParent(qApp);
            qApp->installEventFilter(filter_);
        }
        return true;
    }

    static HWND TopLevelOf(HWND hwnd) {
        HWND top = hwnd;
        while (top && (WindowStyle(top) & WS_CHILD)) {
            HWND parent = GetParent(top);
            if (!parent)
                break;
            top = parent;
        }
        return top;
    }

    void CreateTopLevel(HWND hwnd, DWORD style) {
        auto* window = new TopLevelWindow(hwnd);
        window->setWindowFlags(TopLevelFlags(style));
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        const QFont font = DialogFont(kDialogPointSize);
        window->setFont(font);
        Scale scale;
        scale.to = MeasureBaseUnits(font);
        scale.from = WindowSystemBaseUnits(hwnd, scale.to);
        scales_[hwnd] = scale;

        RECT client{};
        GetClientRect(hwnd, &client);
        const QRect size = ConvertRect(client, scale.from, scale.to);
        window->setFixedSize(size.width(), size.height());
        RECT placed{};
        if (GetWindowRect(hwnd, &placed))
            window->move(placed.left, placed.top);

        widgets_[hwnd] = window;
        MirrorText(hwnd, window);
        MirrorIcon(hwnd, window);
        MirrorEnabled(hwnd, window);
        MirrorVisible(hwnd, window);
        ArmScreenshot(hwnd, window);
    }

    static void MirrorIcon(HWND hwnd, QWidget* widget) {
        if (!widget->isWindow())
            return;
        const bool hasIcon =
            SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0) != 0 || SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0) != 0;
        widget->setWindowIcon(hasIcon ? ApplicationIcon() : QIcon());
    }

    int ShowBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) {
        QWidget* ownerWidget = owner ? Find(owner) : nullptr;
        if (ownerWidget)
            ownerWidget = ownerWidget->window();
        waiter_.BeginModalPump();
        const int answer = RunMessageBox(ownerWidget, text, caption, type);
        waiter_.EndModalPump();
        return answer;
    }

    static QSize ScreenSize() {
        if (!QCoreApplication::instance() || !OnGuiThread())
            return QSize(1024, 768);
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? screen->size() : QSize(1024, 768);
    }

    std::map<HWND, QPointer<QWidget>> widgets_;  // GUI thread
    std::map<HWND, Scale> scales_;               // top-level windows; GUI thread
    InputFilter* filter_ = nullptr;              // GUI thread
    EventWait waiter_;
    std::atomic<bool> warnedThread_{false};
};

QtDriver& TheDriver() {
    static QtDriver driver;
    return driver;
}

}  // namespace

QWidget* WidgetFor(HWND hwnd) { return TheDriver().Find(hwnd); }

EventWait& Waiter() { return TheDriver().Waiter(); }

void InputHandled() { Waiter().InputHandled(); }

}  // namespace ui_qt

namespace user32 {

WindowDriver& Driver() { return ui_qt::TheDriver(); }

}  // namespace user32
