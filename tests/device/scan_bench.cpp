// Measures what the presence monitor costs: the time of one scan
// (FindDevicePort for both rows, EnumSerialPorts) and the CPU the idle
// monitor thread uses while it polls every 50 ms.
//
// By default it reads this machine's /sys. With --mock it builds a umockdev
// testbed of 8 USB serial ports (running itself again under
// umockdev-wrapper) so the figures do not depend on the machine.
#include <sys/resource.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/state.h"
#include "device/lookup.h"
#include "device/monitor.h"
#include "framework/afxwin.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "tests/fakes/umockdev.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BuildTestbed(UMockdevTestbed* testbed) {
    gchar* rootDir = umockdev_testbed_get_root_dir(testbed);
    const std::string root = rootDir;
    g_free(rootDir);
    for (int i = 0; i < 8; ++i) {
        const std::string usbName = "1-" + std::to_string(i + 1);
        gchar* usb =
            umockdev_testbed_add_device(testbed, "usb", usbName.c_str(), nullptr, "idVendor", i == 7 ? "03eb" : "1234",
                                        "idProduct", i == 7 ? "6133" : "0001", "bcdDevice", "0100", "bDeviceClass",
                                        "ef", "bDeviceSubClass", "02", "bDeviceProtocol", "01", "bNumInterfaces", " 2",
                                        "bNumConfigurations", "1", "product", "Bench Port", nullptr, nullptr);
        gchar* itf = umockdev_testbed_add_device(testbed, "usb", (usbName + ":1.0").c_str(), usb, "bInterfaceNumber",
                                                 "00", nullptr, nullptr);
        const std::string ttyName = "ttyACM" + std::to_string(i);
        gchar* tty = umockdev_testbed_add_device(testbed, "tty", ttyName.c_str(), itf, nullptr, nullptr);
        const std::string link = root + tty + "/device";
        if (symlink("..", link.c_str()) != 0)
            std::perror(link.c_str());
        g_free(tty);
        g_free(itf);
        g_free(usb);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool mock = argc > 1 && std::strcmp(argv[1], "--mock") == 0;
    if (mock) {
        if (const int failed = vantrel::testing::EnterUmockdev(argc, argv); failed >= 0)
            return failed;
    }
    UMockdevTestbed* testbed = nullptr;
    if (mock) {
        testbed = umockdev_testbed_new();
        BuildTestbed(testbed);
    }
    SetTraceSink([](const std::string&) {});

    constexpr int kScans = 200;
    wchar_t path[kDevFileNameChars];
    int found = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kScans; ++i)
        found += FindDevicePort(g_DeviceIdTable[0], path) || FindDevicePort(g_DeviceIdTable[1], path);
    const double scanUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kScans;

    wchar_t list[kPortListChars];
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kScans; ++i)
        EnumSerialPorts(list);
    const double listUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kScans;
    int ports = 0;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        ++ports;

    // The monitor alone for two seconds; no window, so its posts (none
    // expected while nothing changes) go nowhere.
    State().g_ListenState.store(LISTEN_INIT);
    CWinThread* monitor = AfxBeginThread(MyThreadListenDeviceExist, nullptr);
    if (monitor == nullptr) {
        std::fprintf(stderr, "monitor thread could not be started\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    State().g_ListenState.store(LISTEN_STOP);
    for (int i = 0; i < 300 && AfxRunningThreadCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::printf("sysfs: %s, present ports listed: %d, terminal found: %s\n", mock ? "umockdev testbed" : "this machine",
                ports, found ? "yes" : "no");
    std::printf("one monitor scan (row 0, then row 1 if needed): %.1f us\n", scanUs);
    std::printf("EnumSerialPorts: %.1f us\n", listUs);
    std::printf("idle monitor CPU: %.3f%% of one core (%.1f ms CPU in %.2f s)\n", 100.0 * cpu / wall, cpu * 1000, wall);
    if (testbed != nullptr)
        g_object_unref(testbed);
    return AfxRunningThreadCount() == 0 ? 0 : 1;
}
