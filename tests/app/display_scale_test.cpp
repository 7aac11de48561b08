// The window at the display settings of today's screens: 96, 120, 144 and 192
// dpi. Wine reads the setting (LogPixels) when a process starts, so each
// setting but 96 is a run of the layout tests in a process of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "app/main_window.h"
#include "tests/app/child_process.h"
#include "tests/app/gui_fixture.h"

namespace morcelix::testing {
namespace {

using namespace std::chrono_literals;

// The tests that a run at another setting repeats.
constexpr wchar_t kLayoutTests[] =
    L"DisplayScaleTest.*:MainWindowTest.*:InfoDialogTest.LayoutFollowsTheMessageFontsMeasure";
// The setting that the run was started with, in its environment; none: 96.
constexpr char kDpiVariable[] = "MORCELIX_TEST_DPI";

int RequestedDpi() {
    const char* dpi = std::getenv(kDpiVariable);
    return dpi != nullptr ? std::atoi(dpi) : 96;
}

class DisplayScaleTest : public GuiTest {};

TEST_F(DisplayScaleTest, FontLayoutAndClientAreaFollowTheSetting) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(dpi, RequestedDpi()) << "the display setting asked for did not take";

    // The window's font, and its text height measured here.
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(Item(ControlId::Edit1), WM_GETFONT, 0, 0));
    LOGFONTW described{};
    GetObjectW(font, sizeof(described), &described);
    EXPECT_EQ(described.lfHeight, MulDiv(-11, dpi, 96));
    HDC dc = GetDC(Form());
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(Form(), dc);

    const LayoutScale& scale = form_->Scale();
    if (dpi == 96) {
        EXPECT_EQ(scale(369), 369);
    } else {
        ASSERT_GT(metrics.tmHeight, 13);
        EXPECT_EQ(scale(13), metrics.tmHeight);
        EXPECT_EQ(scale(369), MulDiv(369, metrics.tmHeight, 13));
    }
    RECT client{};
    GetClientRect(Form(), &client);
    EXPECT_EQ(client.right, scale(384));
    EXPECT_EQ(client.bottom, scale(214));
    EXPECT_FALSE(GetWindowLongPtrW(Form(), GWL_STYLE) & (WS_HSCROLL | WS_VSCROLL));
}

// Wine's display setting for the processes started while this object lives;
// what was there before comes back afterwards.
class LogPixelsSetting {
  public:
    explicit LogPixelsSetting(DWORD dpi) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
        DWORD size = sizeof(previous_);
        hadOne_ = RegQueryValueExW(key_, kValue, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&previous_), &size) == ERROR_SUCCESS;
        Set(dpi);
    }
    ~LogPixelsSetting() {
        if (hadOne_) {
            Set(previous_);
        } else {
            RegDeleteValueW(key_, kValue);
        }
        RegCloseKey(key_);
    }
    LogPixelsSetting(const LogPixelsSetting&) = delete;
    LogPixelsSetting& operator=(const LogPixelsSetting&) = delete;

  private:
    static constexpr wchar_t kValue[] = L"LogPixels";
    void Set(DWORD dpi) {
        RegSetValueExW(key_, kValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                       sizeof(dpi));
    }

    HKEY key_ = nullptr;
    DWORD previous_ = 0;
    bool hadOne_ = false;
};

TEST(OtherDisplaySettingsTest, TheLayoutTestsPassAt120_144And192Dpi) {
    if (std::getenv(kDpiVariable) != nullptr) {
        GTEST_SKIP() << "already a run at another setting";
    }
    for (int dpi : {120, 144, 192}) {
        SCOPED_TRACE(::testing::Message() << dpi << " dpi");
        LogPixelsSetting setting(static_cast<DWORD>(dpi));
        SetEnvironmentVariableA(kDpiVariable, std::to_string(dpi).c_str());
        ChildProcess run(BesideThisProgram(L"app_tests.exe"),
                         std::wstring(L"--gtest_filter=") + kLayoutTests);
        SetEnvironmentVariableA(kDpiVariable, nullptr);
        ASSERT_TRUE(run.Started());
        EXPECT_EQ(run.Wait(60s), 0u) << "the layout tests failed (their output is above)";
    }
}

}  // namespace
}  // namespace morcelix::testing
