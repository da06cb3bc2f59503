// OutputDebugStringW/A and the trace sink behind them (see trace_sink.h).
//
// The wide text is turned into UTF-8; the 8-bit variant takes code page 936
// (GBK), the encoding of the tool's 8-bit reply-failure lines, through
// iconv. Each call reaches the sink as one piece, so lines written by the
// three threads never interleave inside a line.
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/posix/kernel32/trace_sink.h"
#include "platform/posix/kernel32/unique_fd.h"
#include "tools/text/utf8.h"
#include "platform/posix/win32.h"

namespace platform {
namespace {

struct Sink {
    std::mutex mutex;
    bool configured = false;
    TraceSink installed;  // wins over the environment's choice when set
    TraceSink from_environment;
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

// One write per text, so that appends from several processes stay whole.
void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the trace is best effort: a full disk must not stop the tool
        done += static_cast<size_t>(n);
    }
}

TraceSink SinkFromEnvironment() {
    const char* setting = std::getenv("VANTREL_TRACE");
    if (setting == nullptr || *setting == '\0' || std::strcmp(setting, "0") == 0)
        return {};
    if (std::strcmp(setting, "1") == 0) {
        return [](const std::string& text) { WriteAll(STDERR_FILENO, text); };
    }
    auto file = std::make_shared<UniqueFd>(::open(setting, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file->Get() < 0) {
        std::fprintf(stderr, "VANTREL_TRACE: opening %s: %s; the trace is off\n", setting, std::strerror(errno));
        return {};
    }
    return [file](const std::string& text) { WriteAll(file->Get(), text); };
}

thread_local bool t_in_sink = false;

void Deliver(const std::string& utf8) {
    // A sink that writes debugger output itself would wait for itself.
    if (t_in_sink)
        return;
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mutex);
    if (!sink.configured) {
        sink.from_environment = SinkFromEnvironment();
        sink.configured = true;
    }
    const TraceSink& target = sink.installed ? sink.installed : sink.from_environment;
    if (!target)
        return;
    struct InSink {
        InSink() { t_in_sink = true; }
        ~InSink() { t_in_sink = false; }
    } in_sink;
    target(utf8);
}

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};

// Code page 936 to UTF-8; a byte that is not valid GBK becomes U+FFFD.
std::string Gbk936ToUtf8(const char* text) {
    const size_t length = std::strlen(text);
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter installed: keep ASCII, mark the rest.
        std::string out;
        for (size_t i = 0; i < length; ++i)
            out += static_cast<unsigned char>(text[i]) < 0x80 ? std::string(1, text[i]) : std::string("\xEF\xBF\xBD");
        return out;
    }
    std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser> guard(cd);
    std::string out;
    char* in = const_cast<char*>(text);  // iconv's interface is not const-correct
    size_t in_left = length;
    char buffer[256];
    while (in_left > 0) {
        char* out_ptr = buffer;
        size_t out_left = sizeof buffer;
        const size_t result = iconv(cd, &in, &in_left, &out_ptr, &out_left);
        out.append(buffer, static_cast<size_t>(out_ptr - buffer));
        if (result != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        out += "\xEF\xBF\xBD";
        if (errno == EINVAL)
            break;        // a lead byte cut off at the end
        ++in, --in_left;  // EILSEQ: skip the bad byte and go on
    }
    return out;
}

}  // namespace

void SetTraceSink(TraceSink sink) {
    Sink& the_sink = TheSink();
    std::lock_guard<std::mutex> lock(the_sink.mutex);
    the_sink.installed = std::move(sink);
}

void ReloadTraceSetting() {
    TraceSink from_environment = SinkFromEnvironment();
    Sink& the_sink = TheSink();
    std::lock_guard<std::mutex> lock(the_sink.mutex);
    the_sink.from_environment = std::move(from_environment);
    the_sink.configured = true;
}

}  // namespace platform

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString == nullptr)
        return;
    platform::Deliver(text::WideToUtf8(lpOutputString));
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString == nullptr)
        return;
    platform::Deliver(platform::Gbk936ToUtf8(lpOutputString));
}
