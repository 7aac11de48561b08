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

// The other layout tests check every place and size against the scale: here,
// the scale against the setting and the font's measured text height.
TEST_F(DisplayScaleTest, TheScaleFollowsTheSettingsTextHeight) {
    HDC dc = GetDC(Form());
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    HGDIOBJ old = SelectObject(
        dc, reinterpret_cast<HFONT>(SendMessageW(Item(ControlId::Edit1), WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(Form(), dc);
    ASSERT_EQ(dpi, RequestedDpi()) << "the setting did not take";
    const int textHeight = dpi == 96 ? 13 : metrics.tmHeight;
    EXPECT_EQ(form_->Scale()(13), textHeight);
    EXPECT_EQ(form_->Scale()(369), MulDiv(369, textHeight, 13));
}

// Wine's display setting for the processes started while this object lives.
// The prefix's own setting is another key (under HKLM), which stays as it is.
class LogPixelsSetting {
  public:
    explicit LogPixelsSetting(DWORD dpi) {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key_, nullptr);
        RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                       sizeof(dpi));
    }
    ~LogPixelsSetting() {
        RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }
    LogPixelsSetting(const LogPixelsSetting&) = delete;
    LogPixelsSetting& operator=(const LogPixelsSetting&) = delete;

  private:
    HKEY key_ = nullptr;
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
