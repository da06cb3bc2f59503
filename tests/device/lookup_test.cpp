// The terminal lookup, the port name list and the port box, over a scripted
// device set holding Windows-form hardware IDs and friendly names.
#include <cwchar>
#include <string>
#include <vector>

#include "common/state.h"
#include "device/lookup.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/device/fixture.h"
#include "tests/fakes/setupapi.h"

using fake::FakeDevice;
using fake::MultiSzBytes;
using fake::PortDevice;
using fake::SzBytes;

namespace {

const std::wstring kTerminalMi00 = L"USB\\VID_03EB&PID_6133&REV_0100&MI_00";
const std::wstring kTerminalMi00Generic = L"USB\\VID_03EB&PID_6133&MI_00";
const std::wstring kTerminalMi02 = L"USB\\VID_03EB&PID_6133&REV_0100&MI_02";
const std::wstring kOtherTerminal = L"USB\\VID_0483&PID_5740&REV_0200";

std::wstring PathOf(const std::wstring& suffix) { return L"\\\\.\\" + PortName(suffix); }

// A destination with a recognisable content, to see that it is left alone.
struct PathBuffer {
    PathBuffer() { std::wcscpy(chars, L"untouched"); }
    wchar_t chars[kDevFileNameChars];
};

std::vector<std::wstring> NamesOf(const wchar_t (&list)[kPortListChars]) {
    std::vector<std::wstring> names;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        names.emplace_back(name);
    return names;
}

using FindDevicePortTest = DeviceTest;
using EnumSerialPortsTest = DeviceTest;
using ReadDevicePropertyTest = DeviceTest;
using RefreshPortListTest = DeviceTest;

}  // namespace

TEST_F(FindDevicePortTest, RowZeroMatchesInterfaceZeroInTheFirstHardwareId) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00, kTerminalMi00Generic}, FriendlyName(L"Terminal", L"7"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"7"));
}

TEST_F(FindDevicePortTest, RowZeroIgnoresInterfaceZeroInALaterHardwareId) {
    fake::SetFakeDevices({PortDevice({kTerminalMi02, kTerminalMi00Generic}, FriendlyName(L"Terminal", L"3"))});
    PathBuffer path;
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), L"untouched");
}

TEST_F(FindDevicePortTest, RowZeroSkipsOtherInterfacesAndFindsInterfaceZeroAfterThem) {
    fake::SetFakeDevices({PortDevice({kTerminalMi02}, FriendlyName(L"Terminal", L"3")),
                          PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"4"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"4"));
}

TEST_F(FindDevicePortTest, RowOneMatchesAnyInterface) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_0483&PID_5740&REV_0200&MI_01"}, FriendlyName(L"Pad", L"12"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[1], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"12"));
    fake::SetFakeDevices({PortDevice({kOtherTerminal}, FriendlyName(L"Pad", L"13"))});
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[1], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"13"));
}

TEST_F(FindDevicePortTest, RowsDoNotMatchEachOthersTerminal) {
    fake::SetFakeDevices({PortDevice({kOtherTerminal}, FriendlyName(L"Pad", L"1"))});
    PathBuffer path;
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"1"))});
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[1], path.chars));
}

TEST_F(FindDevicePortTest, LowerCaseIdentityDoesNotMatch) {
    fake::SetFakeDevices({PortDevice({L"USB\\vid_03eb&pid_6133&rev_0100&mi_00"}, FriendlyName(L"T", L"5")),
                          PortDevice({L"USB\\vid_0483&pid_5740"}, FriendlyName(L"P", L"6"))});
    PathBuffer path;
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[1], path.chars));
    EXPECT_EQ(std::wstring(path.chars), L"untouched");
}

TEST_F(FindDevicePortTest, FirstEnumeratedTerminalWins) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"9")),
                          PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"4"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"9"));
}

TEST_F(FindDevicePortTest, ClosingBeforeOpeningGivesNoPortAndTheNextDeviceIsTried) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, L"Terminal) (" + PortName(L"5")),
                          PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"6"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"6"));
}

TEST_F(FindDevicePortTest, FriendlyNameWithoutOpenerGivesNoPort) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, L"Terminal (LPT1)")});
    PathBuffer path;
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), L"untouched");
}

TEST_F(FindDevicePortTest, ThreeAndFourDigitPortsGiveTenAndElevenCharacterPaths) {
    PathBuffer path;
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"100"))});
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"100"));
    EXPECT_EQ(std::wcslen(path.chars), 10u);
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"9999"))});
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"9999"));
    EXPECT_EQ(std::wcslen(path.chars), 11u);
}

TEST_F(FindDevicePortTest, LongPortNameIsTakenWhileThePathFitsItsBuffer) {
    // "\\.\" + 59 characters + terminator fill the 64 characters exactly.
    const std::wstring fits = L"ACM" + std::wstring(53, L'1');
    ASSERT_EQ(PortName(fits).size(), 59u);
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"ACM10"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"ACM10"));
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", fits))});
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(fits));
}

TEST_F(FindDevicePortTest, PortNameTooLongForThePathIsSkipped) {
    const std::wstring tooLong = L"ACM" + std::wstring(54, L'1');
    ASSERT_EQ(PortName(tooLong).size(), 60u);
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", tooLong)),
                          PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"8"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"8"));
}

TEST_F(FindDevicePortTest, DevicesWithoutPropertiesAreSkippedWithTheirTrace) {
    FakeDevice noIds;
    noIds.friendlyName = SzBytes(FriendlyName(L"Terminal", L"1"));
    FakeDevice noName;
    noName.hardwareId = MultiSzBytes({kTerminalMi00});
    fake::SetFakeDevices({noIds, noName, PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"2"))});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"2"));
    EXPECT_EQ(CountTraced("获取接口信息失败1, 查找下一个设备\r\n"), 2);
}

TEST_F(FindDevicePortTest, UnavailableDeviceSetIsTracedAndFindsNothing) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"1"))});
    fake::SetFakeClassDevsFails(true);
    PathBuffer path;
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), L"untouched");
    EXPECT_EQ(Trace(), std::vector<std::string>{"获取设备信息集合失败\r\n"});
}

TEST_F(FindDevicePortTest, PropertiesWithoutTerminatorsAreReadWithinTheirBytes) {
    // Run under AddressSanitizer this fails on any read past the bytes the
    // device-setup call returned.
    FakeDevice device;
    device.hardwareId = MultiSzBytes({kTerminalMi00}, false);
    device.friendlyName = SzBytes(FriendlyName(L"Terminal", L"5"), false);
    fake::SetFakeDevices({device});
    PathBuffer path;
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path.chars));
    EXPECT_EQ(std::wstring(path.chars), PathOf(L"5"));
}

TEST_F(FindDevicePortTest, EveryDeviceSetIsDestroyed) {
    fake::SetFakeDevices(
        {PortDevice({kTerminalMi02}, FriendlyName(L"T", L"1")), PortDevice({kTerminalMi00}, FriendlyName(L"T", L"2"))});
    PathBuffer path;
    for (int i = 0; i < 50; ++i) {
        FindDevicePort(g_DeviceIdTable[i % 2], path.chars);
        ASSERT_EQ(fake::FakeOpenDeviceSets(), 0);
    }
}

TEST_F(ReadDevicePropertyTest, BufferIsTerminatedWhateverThePlatformReturned) {
    FakeDevice device;
    // Three bytes: not even one whole wide character, and no terminator.
    device.friendlyName = std::vector<BYTE>{'a', 'b', 'c'};
    device.hardwareId = MultiSzBytes({L"A", L"B"}, false);
    fake::SetFakeDevices({device});
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    auto name = ReadDeviceProperty(set, &data, SPDRP_FRIENDLYNAME);
    auto ids = ReadDeviceProperty(set, &data, SPDRP_HARDWAREID);
    auto missing = ReadDeviceProperty(set, &data, SPDRP_DEVICEDESC);
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_TRUE(name);
    EXPECT_LE(std::wcslen(reinterpret_cast<const wchar_t*>(name.get())), 1u);
    ASSERT_TRUE(ids);
    const auto* text = reinterpret_cast<const wchar_t*>(ids.get());
    EXPECT_EQ(std::wstring(text), L"A");
    EXPECT_EQ(std::wstring(text + 2), L"B");
    EXPECT_EQ(text[3], L'\0');
    EXPECT_FALSE(missing);
    EXPECT_EQ(CountTraced("获取接口信息失败1, 查找下一个设备\r\n"), 1);
}

TEST_F(EnumSerialPortsTest, ListsPortsInEnumerationOrderWithTheirTraces) {
    FakeDevice noName;
    noName.hardwareId = MultiSzBytes({L"ACPI\\PNP0501"});
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"9")), noName,
                          PortDevice({L"ACPI\\PNP0400"}, L"Printer Port (LPT1)"),
                          PortDevice({L"ACPI\\PNP0501"}, FriendlyName(L"Communications Port", L"1")),
                          PortDevice({L"ACPI\\PNP0501"}, FriendlyName(L"Communications Port", L"1"))});
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    EXPECT_EQ(NamesOf(list), (std::vector<std::wstring>{PortName(L"9"), PortName(L"1"), PortName(L"1")}));
    const std::vector<std::string> expected{
        "FRIENDLYNAME = [" + Utf8(FriendlyName(L"Terminal", L"9")) + "]\r\n",
        "Serial Port = [" + Utf8(PortName(L"9")) + "]\r\n",
        "获取接口信息失败1, 查找下一个设备\r\n",
        "FRIENDLYNAME = [Printer Port (LPT1)]\r\n",
        "FRIENDLYNAME = [" + Utf8(FriendlyName(L"Communications Port", L"1")) + "]\r\n",
        "Serial Port = [" + Utf8(PortName(L"1")) + "]\r\n",
        "FRIENDLYNAME = [" + Utf8(FriendlyName(L"Communications Port", L"1")) + "]\r\n",
        "Serial Port = [" + Utf8(PortName(L"1")) + "]\r\n",
        "设备查找完毕\r\n",
    };
    EXPECT_EQ(Trace(), expected);
}

TEST_F(EnumSerialPortsTest, NoPortsGiveAnEmptyListAndTheClosingTrace) {
    wchar_t list[kPortListChars];
    std::wmemset(list, L'x', kPortListChars);
    EnumSerialPorts(list);
    EXPECT_EQ(list[0], L'\0');
    EXPECT_EQ(Trace(), std::vector<std::string>{"设备查找完毕\r\n"});
}

TEST_F(EnumSerialPortsTest, UnavailableDeviceSetGivesAnEmptyList) {
    fake::SetFakeClassDevsFails(true);
    wchar_t list[kPortListChars];
    std::wmemset(list, L'x', kPortListChars);
    EnumSerialPorts(list);
    EXPECT_EQ(list[0], L'\0');
    EXPECT_EQ(Trace(), std::vector<std::string>{"获取设备信息集合失败\r\n"});
}

TEST_F(EnumSerialPortsTest, FullListCutsTheLastNameAndStopsWithoutTheClosingTrace) {
    // 23 names of 10 characters take 253 of the 255; the 24th is cut to one
    // character and fills the list; the 25th is not listed.
    std::vector<FakeDevice> devices;
    for (int i = 0; i < 25; ++i)
        devices.push_back(PortDevice({L"ACPI\\PNP0501"}, FriendlyName(L"Port", std::to_wstring(1000000 + i))));
    fake::SetFakeDevices(devices);
    wchar_t list[kPortListChars];
    std::wmemset(list, L'x', kPortListChars);
    EnumSerialPorts(list);
    const auto names = NamesOf(list);
    ASSERT_EQ(names.size(), 24u);
    EXPECT_EQ(names[22], PortName(L"1000022"));
    EXPECT_EQ(names[23], PortName(L"").substr(0, 1));
    EXPECT_EQ(list[254], L'\0');
    EXPECT_EQ(list[255], L'\0');
    EXPECT_EQ(CountTraced("设备查找完毕\r\n"), 0);
    EXPECT_EQ(CountTraced("FRIENDLYNAME = [" + Utf8(FriendlyName(L"Port", L"1000024")) + "]\r\n"), 0);
}

TEST_F(EnumSerialPortsTest, NameCutToNothingAddsNothing) {
    // Two names of 126 characters take 254; the third gets no characters.
    const std::wstring longSuffix(123, L'7');
    fake::SetFakeDevices(
        {PortDevice({L"A"}, FriendlyName(L"Port", longSuffix)), PortDevice({L"A"}, FriendlyName(L"Port", longSuffix)),
         PortDevice({L"A"}, FriendlyName(L"Port", L"1")), PortDevice({L"A"}, FriendlyName(L"Port", L"2"))});
    wchar_t list[kPortListChars];
    std::wmemset(list, L'x', kPortListChars);
    EnumSerialPorts(list);
    EXPECT_EQ(NamesOf(list), (std::vector<std::wstring>{PortName(longSuffix), PortName(longSuffix)}));
    EXPECT_EQ(list[254], L'\0');
    EXPECT_EQ(list[255], L'\0');
    EXPECT_EQ(CountTraced("设备查找完毕\r\n"), 0);
}

TEST_F(RefreshPortListTest, PortBoxHoldsAutoDetectFirstThenThePortsInOrder) {
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"9")),
                          PortDevice({L"ACPI\\PNP0501"}, FriendlyName(L"Communications Port", L"1"))});
    OpenDialog(false);
    EXPECT_EQ(PortItems(), (std::vector<std::wstring>{L"Auto Detect", PortName(L"9"), PortName(L"1")}));
    EXPECT_EQ(dlg_->m_Port.GetCurSel(), 0);
    EXPECT_EQ(Text(IDC_PORT), L"Auto Detect");
}

TEST_F(RefreshPortListTest, NoPortsLeaveAutoDetectAlone) {
    OpenDialog(false);
    EXPECT_EQ(PortItems(), std::vector<std::wstring>{L"Auto Detect"});
}

TEST_F(RefreshPortListTest, OpeningTheListRebuildsItAndReplacesTypedText) {
    OpenDialog(false);
    headless::TypeText(dlg_->m_Port.GetSafeHwnd(), L"ttyS7");
    ASSERT_EQ(Text(IDC_PORT), L"ttyS7");
    fake::SetFakeDevices({PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", L"3"))});
    headless::DropDown(dlg_->m_Port.GetSafeHwnd());
    headless::PumpMessages();
    EXPECT_EQ(PortItems(), (std::vector<std::wstring>{L"Auto Detect", PortName(L"3")}));
    EXPECT_EQ(Text(IDC_PORT), L"Auto Detect");
}
