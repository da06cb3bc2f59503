// Message boxes: their look and answers, and the window system's messages
// flowing behind them (posted messages, timer ticks, messages sent by a
// worker thread).
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "tests/platform/qt/dialog_fixture.h"

namespace qt_test {
namespace {

using QtMessageBox = QtDialogTest;

// Calls `step` on the open box every 20 ms until it returns true (it
// answered the box) or `maxMs` passed, when the box is answered with its
// Escape-less fallback `fallback` so that the test ends.
class BoxDriver {
public:
    BoxDriver(std::function<bool(QMessageBox*)> step, QMessageBox::StandardButton fallback, int maxMs = 4000)
        : step_(std::move(step)), fallback_(fallback), maxMs_(maxMs) {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        timer_.start(20);
    }
    bool timedOut() const { return timedOut_; }

private:
    void Tick() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (clock_.elapsed() > maxMs_) {
            timedOut_ = true;
            timer_.stop();
            if (QAbstractButton* b = box->button(fallback_))
                b->click();
            return;
        }
        if (step_(box))
            timer_.stop();
    }
    std::function<bool(QMessageBox*)> step_;
    QMessageBox::StandardButton fallback_;
    int maxMs_;
    QElapsedTimer clock_;
    QTimer timer_;
    bool timedOut_ = false;
};

TEST_F(QtMessageBox, ShowsCaptionTextIconAndYesNo) {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool hasYes = false, hasNo = false, hasCancel = true;
    BoxDriver driver(
        [&](QMessageBox* box) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            hasYes = box->button(QMessageBox::Yes) != nullptr;
            hasNo = box->button(QMessageBox::No) != nullptr;
            hasCancel = box->button(QMessageBox::Cancel) != nullptr;
            box->button(QMessageBox::No)->click();
            return true;
        },
        QMessageBox::No);
    const int answer = MessageBoxW(Hwnd(), L"Quit?", L"Vantrel", MB_YESNO | MB_ICONQUESTION);
    EXPECT_FALSE(driver.timedOut());
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(title, QStringLiteral("Vantrel"));
    EXPECT_EQ(text, QStringLiteral("Quit?"));
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_TRUE(hasYes);
    EXPECT_TRUE(hasNo);
    EXPECT_FALSE(hasCancel);
}

TEST_F(QtMessageBox, KeepsPostedMessagesTimerTicksAndSentMessagesFlowing) {
    PostMessageW(Hwnd(), kPostedMessage, 0, 0);
    SetTimer(Hwnd(), kTickTimer, 20, nullptr);
    std::atomic<LRESULT> sentResult{0};
    const HWND hwnd = Hwnd();
    std::thread worker([&] {
        // A worker sends while the box is open, as the receive watcher does.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sentResult = SendMessageW(hwnd, kSentMessage, 0, 0);
    });
    BoxDriver driver(
        [&](QMessageBox* box) {
            if (dlg->posted < 1 || dlg->ticks < 2 || sentResult.load() != kSentAnswer)
                return false;
            box->button(QMessageBox::Yes)->click();
            return true;
        },
        QMessageBox::No);
    const int answer = MessageBoxW(Hwnd(), L"STOP?", L"Vantrel", MB_YESNO | MB_ICONQUESTION);
    worker.join();
    KillTimer(Hwnd(), kTickTimer);
    EXPECT_FALSE(driver.timedOut()) << "posted " << dlg->posted << ", ticks " << dlg->ticks << ", sent " << dlg->sent;
    EXPECT_EQ(answer, IDYES);
    EXPECT_EQ(dlg->posted, 1);
    EXPECT_GE(dlg->ticks, 2);
    EXPECT_EQ(sentResult.load(), kSentAnswer);
}

TEST_F(QtMessageBox, EscapeDoesNotAnswerAYesNoBox) {
    int step = 0;
    bool stillOpenAfterEscape = false;
    BoxDriver driver(
        [&](QMessageBox* box) {
            if (step == 0) {
                QTest::keyClick(box, Qt::Key_Escape);
                box->close();
                step = 1;
                return false;
            }
            stillOpenAfterEscape = box->isVisible();
            box->button(QMessageBox::Yes)->click();
            return true;
        },
        QMessageBox::No);
    const int answer = MessageBoxW(Hwnd(), L"Quit?", L"Vantrel", MB_YESNO | MB_ICONQUESTION);
    EXPECT_FALSE(driver.timedOut());
    EXPECT_TRUE(stillOpenAfterEscape);
    EXPECT_EQ(answer, IDYES);
}

TEST_F(QtMessageBox, EscapeAnswersCancelWhereThereIsOne) {
    BoxDriver driver(
        [&](QMessageBox* box) {
            QTest::keyClick(box, Qt::Key_Escape);
            return true;
        },
        QMessageBox::Ok);
    const int answer = MessageBoxW(Hwnd(), L"Open failed", L"Vantrel", MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_FALSE(driver.timedOut());
    EXPECT_EQ(answer, IDCANCEL);
}

TEST_F(QtMessageBox, OkBoxWithExclamationAnswersOk) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    BoxDriver driver(
        [&](QMessageBox* box) {
            icon = box->icon();
            box->button(QMessageBox::Ok)->click();
            return true;
        },
        QMessageBox::Ok);
    EXPECT_EQ(MessageBoxW(Hwnd(), L"port open failed", L"Vantrel", MB_OK | MB_ICONEXCLAMATION), IDOK);
    EXPECT_FALSE(driver.timedOut());
    EXPECT_EQ(icon, QMessageBox::Warning);
}

}  // namespace
}  // namespace qt_test
