// Creating the QApplication with the process's real command line.
//
// Qt keeps pointers to argc and argv for the application's lifetime, so both
// live in static storage. The command line is read from /proc/self/cmdline
// because the window system is reached long after main() handed its arguments
// to the framework; when it cannot be read, the program's name stands alone.
#include "platform/posix/user32/qt/application.h"

#include <QThread>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace ui_qt {
namespace {

struct CommandLine {
    std::vector<std::string> args;
    std::vector<char*> argv;
    int argc = 0;
};

CommandLine& ReadCommandLine() {
    static CommandLine line;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\0', start);
        line.args.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (line.args.empty())
        line.args.push_back("vantrel");
    for (std::string& a : line.args)
        line.argv.push_back(a.data());
    line.argv.push_back(nullptr);
    line.argc = static_cast<int>(line.args.size());
    return line;
}

// The application lives until the process ends and is never deleted: Qt
// cannot be torn down during static destruction, because the globals Qt
// made lazily while running are destroyed before anything made earlier, and
// ~QApplication then reaches into them. The system reclaims it at exit.
QApplication* g_ownApp = nullptr;
std::atomic<DWORD> g_guiThread{0};
std::mutex g_createLock;

}  // namespace

QApplication* EnsureApplication() {
    std::lock_guard<std::mutex> lock(g_createLock);
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        if (g_guiThread.load() == 0 && existing->thread() == QThread::currentThread())
            g_guiThread = GetCurrentThreadId();
        return existing;
    }
    CommandLine& line = ReadCommandLine();
    g_ownApp = new QApplication(line.argc, line.argv.data());
    // The window system decides when the program ends, never Qt.
    QApplication::setQuitOnLastWindowClosed(false);
    g_guiThread = GetCurrentThreadId();
    return g_ownApp;
}

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

DWORD GuiThreadId() { return g_guiThread.load(); }

}  // namespace ui_qt
