// Painting, icons, metrics, minimising and the common controls' start-up.
#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

using PaintTest = User32Test;

TEST_F(PaintTest, IconsLoadForTheMainFrameAndTheApplicationOnly) {
    HICON main = LoadIconW(reinterpret_cast<HINSTANCE>(0x400000), MAKEINTRESOURCEW(IDR_MAINFRAME));
    EXPECT_NE(main, nullptr);
    EXPECT_EQ(LoadIconW(reinterpret_cast<HINSTANCE>(0x400000), MAKEINTRESOURCEW(IDR_MAINFRAME)), main);
    EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_EQ(LoadIconW(reinterpret_cast<HINSTANCE>(0x400000), MAKEINTRESOURCEW(129)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(LoadIconW(nullptr, L"NAMED"), nullptr);
}

TEST_F(PaintTest, IconMetricsAreThirtyTwoPixels) {
    EXPECT_EQ(GetSystemMetrics(SM_CXICON), 32);
    EXPECT_EQ(GetSystemMetrics(SM_CYICON), 32);
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), 16);
    EXPECT_EQ(GetSystemMetrics(9999), 0);
}

TEST_F(PaintTest, DrawIconSucceedsOnlyOnAPaintingDeviceContext) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(IDR_MAINFRAME));
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(dlg, &ps);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(ps.hdc, dc);
    EXPECT_EQ(ps.rcPaint.right, 386);
    EXPECT_TRUE(DrawIcon(dc, 10, 10, icon));
    EXPECT_FALSE(DrawIcon(dc, 10, 10, nullptr));
    EXPECT_TRUE(EndPaint(dlg, &ps));
    EXPECT_FALSE(DrawIcon(dc, 10, 10, icon));
    EXPECT_FALSE(DrawIcon(nullptr, 0, 0, icon));
}

TEST_F(PaintTest, ShowingTheDialogAndInvalidatingAskForOnePaintEach) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    headless::PumpMessages();
    EXPECT_EQ(Seen(WM_PAINT).size(), 1u);
    headless::PumpMessages();
    EXPECT_EQ(Seen(WM_PAINT).size(), 1u);
    InvalidateRect(dlg, nullptr, TRUE);
    InvalidateRect(dlg, nullptr, TRUE);
    headless::PumpMessages();
    EXPECT_EQ(Seen(WM_PAINT).size(), 2u);
}

TEST_F(PaintTest, MinimisingMakesTheDialogIconicUntilRestored) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_FALSE(IsIconic(dlg));
    headless::Minimize(dlg, true);
    EXPECT_TRUE(IsIconic(dlg));
    EXPECT_EQ(Seen(WM_SYSCOMMAND).size(), 1u);
    headless::Minimize(dlg, false);
    EXPECT_FALSE(IsIconic(dlg));
}

TEST_F(PaintTest, InitCommonControlsChecksItsStructure) {
    INITCOMMONCONTROLSEX good{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    EXPECT_TRUE(InitCommonControlsEx(&good));
    INITCOMMONCONTROLSEX bad{4, ICC_WIN95_CLASSES};
    EXPECT_FALSE(InitCommonControlsEx(&bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(InitCommonControlsEx(nullptr));
}

}  // namespace
}  // namespace user32test
