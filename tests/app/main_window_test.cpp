// The main window as a person meets it: every control in its place with its
// text, the focus and the Tab order, the fonts and the link, the scrolling, and
// the handlers reached by real clicks.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main_window.h"
#include "tests/app/dialog_watcher.h"
#include "tests/app/gui_fixture.h"

namespace morcelix::testing {
namespace {

using enum ControlId;

struct Expected {
    ControlId id;
    const wchar_t* windowClass;
    ControlId parent;  // Label6 stands for the window itself here: see ParentOf
    int left, top, width, height;
    const wchar_t* text;
    bool tabStop;
};

constexpr ControlId kWindow = static_cast<ControlId>(0);

// Labels size themselves to their text: their width and height are checked
// against the text's measure instead (0 here). So Label3, stored 17 high,
// takes the text's height.
const Expected kExpected[] = {
    {Label6, L"Static", kWindow, 136, 200, 101, 13, L"morcelix.example", false},
    {ProgressBar1, L"msctls_progress32", kWindow, 8, 96, 369, 17, L"", false},
    {GroupBox1, L"Button", kWindow, 8, 8, 369, 89, L"Découpage", false},
    {Label1, L"Static", GroupBox1, 8, 28, 0, 0, L"Fichier:", false},
    {Label2, L"Static", GroupBox1, 16, 61, 0, 0, L"Taille des fichiers", false},
    {Label5, L"Static", GroupBox1, 176, 64, 0, 0, L"Mo", false},
    {Button1, L"Button", GroupBox1, 294, 22, 67, 25, L"Ouvrir", true},
    {Edit1, L"Edit", GroupBox1, 56, 24, 233, 21, L"", true},
    {Edit2, L"Edit", GroupBox1, 112, 56, 57, 21, L"1", true},
    {Button2, L"Button", GroupBox1, 232, 54, 129, 25, L"Découper", true},
    {GroupBox2, L"Button", kWindow, 8, 112, 369, 89, L"Regroupage", false},
    {Label4, L"Static", GroupBox2, 8, 28, 0, 0, L"Fichier:", false},
    {Label3, L"Static", GroupBox2, 8, 56, 0, 0, L"Destination", false},
    {Edit3, L"Edit", GroupBox2, 64, 24, 225, 21, L"", true},
    {Button3, L"Button", GroupBox2, 296, 22, 65, 25, L"Ouvrir", true},
    {Edit4, L"Edit", GroupBox2, 64, 56, 225, 21, L"", true},
    {Button4, L"Button", GroupBox2, 296, 54, 67, 25, L"Regrouper", true},
};

// `window`'s rectangle in its parent's client coordinates.
RECT PlaceInParent(HWND window) {
    RECT place{};
    GetWindowRect(window, &place);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&place), 2);
    return place;
}

SIZE ClientSize(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return {client.right, client.bottom};
}

SIZE TextSize(HWND control, const std::wstring& text) {
    HDC dc = GetDC(control);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size;
}

LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
    return font;
}

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

LONG_PTR Style(HWND window) {
    return GetWindowLongPtrW(window, GWL_STYLE);
}

class MainWindowTest : public GuiTest {};

TEST_F(MainWindowTest, WindowHasItsTitleFrameOwnerPlaceAndSize) {
    EXPECT_EQ(ClassOf(Form()), L"TForm1");
    EXPECT_EQ(TextOf(Form()), L"Morcelix");
    RECT outer{};
    GetWindowRect(Form(), &outer);
    EXPECT_EQ(outer.left, 410);
    EXPECT_EQ(outer.top, 502);
    // Whatever the frame, the client area is the layout's: no scroll bar.
    const SIZE client = ClientSize(Form());
    EXPECT_EQ(client.cx, form_->Scale()(384));
    EXPECT_EQ(client.cy, form_->Scale()(214));

    const LONG_PTR style = Style(Form());
    EXPECT_FALSE(style & (WS_HSCROLL | WS_VSCROLL));
    EXPECT_TRUE(style & WS_THICKFRAME);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_TRUE(IsWindowVisible(Form()));

    // The hidden application window owns it and carries the title.
    HWND owner = GetWindow(Form(), GW_OWNER);
    EXPECT_EQ(owner, application_->Handle());
    EXPECT_EQ(TextOf(owner), L"Morcelix");
    EXPECT_EQ(GetWindow(owner, GW_OWNER), nullptr);
    RECT hidden{};
    GetWindowRect(owner, &hidden);
    EXPECT_TRUE(IsRectEmpty(&hidden));
}

TEST_F(MainWindowTest, EveryControlHasItsClassTextParentPlaceAndSize) {
    const LayoutScale& scale = form_->Scale();
    for (const Expected& expected : kExpected) {
        SCOPED_TRACE(::testing::Message() << "control " << static_cast<int>(expected.id));
        HWND control = Item(expected.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetDlgCtrlID(control), static_cast<int>(expected.id));
        EXPECT_EQ(ClassOf(control), expected.windowClass);
        EXPECT_EQ(TextOf(control), expected.text);
        EXPECT_EQ(GetParent(control), expected.parent == kWindow ? Form() : Item(expected.parent));
        EXPECT_TRUE(IsWindowVisible(control));
        EXPECT_EQ(static_cast<bool>(Style(control) & WS_TABSTOP), expected.tabStop);

        const RECT place = PlaceInParent(control);
        EXPECT_EQ(place.left, scale(expected.left));
        EXPECT_EQ(place.top, scale(expected.top));
        if (expected.width != 0) {
            EXPECT_EQ(place.bottom - place.top, scale(expected.height));
            if (expected.id != Label6) {  // Label6 follows the window's width
                EXPECT_EQ(place.right - place.left, scale(expected.width));
            }
        } else {
            const SIZE text = TextSize(control, expected.text);
            EXPECT_EQ(place.right - place.left, text.cx);
            EXPECT_EQ(place.bottom - place.top, text.cy);
        }
    }
    // The kinds behind the classes.
    EXPECT_EQ(Style(Item(GroupBox1)) & BS_TYPEMASK, BS_GROUPBOX);
    EXPECT_EQ(Style(Item(GroupBox2)) & BS_TYPEMASK, BS_GROUPBOX);
    for (ControlId button : {Button1, Button2, Button3, Button4}) {
        EXPECT_EQ(Style(Item(button)) & BS_TYPEMASK, BS_PUSHBUTTON);  // no default button
    }
    for (ControlId edit : {Edit1, Edit2, Edit3, Edit4}) {
        EXPECT_FALSE(Style(Item(edit)) & (ES_READONLY | ES_MULTILINE));
        EXPECT_TRUE(GetWindowLongPtrW(Item(edit), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    }
}

TEST_F(MainWindowTest, ControlsAreCreatedInTabOrder) {
    auto children = [](HWND parent) {
        std::vector<int> ids;
        for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            ids.push_back(GetDlgCtrlID(child));
        }
        return ids;
    };
    auto ids = [](std::initializer_list<ControlId> list) {
        std::vector<int> result;
        for (ControlId id : list) {
            result.push_back(static_cast<int>(id));
        }
        return result;
    };
    EXPECT_EQ(children(Form()), ids({Label6, ProgressBar1, GroupBox1, GroupBox2}));
    EXPECT_EQ(children(Item(GroupBox1)),
              ids({Label1, Label2, Label5, Button1, Edit1, Edit2, Button2}));
    EXPECT_EQ(children(Item(GroupBox2)), ids({Label4, Label3, Edit3, Button3, Edit4, Button4}));
}

TEST_F(MainWindowTest, FocusStartsOnButton1AndTabWalksTheFieldsSelectingTheirText) {
    EXPECT_EQ(GetFocus(), Item(Button1));
    form_->SetFieldText(Edit1, "C:\\film.avi");
    const ControlId walk[] = {Edit1, Edit2, Button2, Edit3, Button3, Edit4, Button4, Button1};
    for (ControlId expected : walk) {
        PressKey(VK_TAB);
        EXPECT_EQ(GetFocus(), Item(expected))
            << "after Tab, expected " << static_cast<int>(expected);
        if (expected == Edit1 || expected == Edit2) {
            DWORD start = 0, end = 0;
            SendMessageW(Item(expected), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                         reinterpret_cast<LPARAM>(&end));
            EXPECT_EQ(start, 0u);
            EXPECT_EQ(end, static_cast<DWORD>(GetWindowTextLengthW(Item(expected))));
        }
    }
}

TEST_F(MainWindowTest, FocusGivenByAnActionSelectsTheWholeField) {
    form_->SetFieldText(Edit3, "Fichiers découpés");
    EXPECT_EQ(form_->FieldText(Edit3), "Fichiers découpés");
    SendMessageW(Item(Edit3), EM_SETSEL, 2, 2);
    form_->Focus(Edit3);
    EXPECT_EQ(GetFocus(), Item(Edit3));
    DWORD start = 1, end = 0;
    SendMessageW(Item(Edit3), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 17u);
}

TEST_F(MainWindowTest, FontsAndTheLinkLook) {
    for (ControlId id : {GroupBox1, Label2, Edit2, Button2, Label3}) {
        const LOGFONTW font = FontOf(Item(id));
        EXPECT_STREQ(font.lfFaceName, L"MS Sans Serif");
        EXPECT_EQ(font.lfHeight, LayoutScale::FontHeight(ScreenDpi()));
        EXPECT_FALSE(font.lfUnderline);
    }
    const LOGFONTW link = FontOf(Item(Label6));
    EXPECT_STREQ(link.lfFaceName, L"MS Sans Serif");
    EXPECT_TRUE(link.lfUnderline);

    // Blue text on the button face, as the window colours it.
    HDC dc = CreateCompatibleDC(nullptr);
    const LRESULT brush = SendMessageW(Form(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(Item(Label6)));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 255));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
    DeleteDC(dc);

    // The hand pointer over the link.
    SendMessageW(Item(Label6), WM_SETCURSOR, reinterpret_cast<WPARAM>(Item(Label6)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_HAND));
}

TEST_F(MainWindowTest, SmallClientAreaScrollsAndTheLinkFollowsTheRightEdge) {
    const LayoutScale& scale = form_->Scale();
    auto linkWidth = [&] {
        const RECT place = PlaceInParent(Item(Label6));
        return place.right - place.left;
    };
    // Its right margin: the reference width less its place and width, each scaled.
    const int rightMargin = scale(384) - scale(136) - scale(101);
    // At start the client area is the layout's.
    EXPECT_EQ(linkWidth(), ClientSize(Form()).cx - scale(136) - rightMargin);

    SetWindowPos(Form(), nullptr, 0, 0, scale(300), scale(180), SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_TRUE(Style(Form()) & WS_HSCROLL);
    EXPECT_TRUE(Style(Form()) & WS_VSCROLL);
    SCROLLINFO info{sizeof(info), SIF_ALL, 0, 0, 0, 0, 0};
    GetScrollInfo(Form(), SB_HORZ, &info);
    EXPECT_EQ(info.nMax, scale(377) - 1);
    EXPECT_EQ(info.nPage, static_cast<UINT>(ClientSize(Form()).cx));
    GetScrollInfo(Form(), SB_VERT, &info);
    EXPECT_EQ(info.nMax, scale(213) - 1);

    SendMessageW(Form(), WM_VSCROLL, SB_BOTTOM, 0);
    SendMessageW(Form(), WM_HSCROLL, SB_BOTTOM, 0);
    const SIZE client = ClientSize(Form());
    RECT group = PlaceInParent(Item(GroupBox1));
    EXPECT_EQ(group.top, scale(8) - (scale(213) - client.cy));
    EXPECT_EQ(group.left, scale(8) - (scale(377) - client.cx));

    // Large again: the bars go and the controls are back in place.
    SetWindowPos(Form(), nullptr, 0, 0, scale(600), scale(400), SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_FALSE(Style(Form()) & (WS_HSCROLL | WS_VSCROLL));
    group = PlaceInParent(Item(GroupBox1));
    EXPECT_EQ(group.left, scale(8));
    EXPECT_EQ(group.top, scale(8));
    EXPECT_EQ(linkWidth(), ClientSize(Form()).cx - scale(136) - rightMargin);
    const RECT button = PlaceInParent(Item(Button4));
    EXPECT_EQ(button.left, scale(296));
}

TEST_F(MainWindowTest, TheWindowNeedsTheControlsExtentBeforeScrolling) {
    // Just large enough: no bar.
    RECT frame{0, 0, form_->Scale()(377), form_->Scale()(213)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(Style(Form()) & ~(WS_HSCROLL | WS_VSCROLL)),
                       FALSE, static_cast<DWORD>(GetWindowLongPtrW(Form(), GWL_EXSTYLE)));
    SetWindowPos(Form(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_FALSE(Style(Form()) & (WS_HSCROLL | WS_VSCROLL));
    // One pixel lower: the vertical bar only... which takes width, so both.
    SetWindowPos(Form(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top - 1,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    EXPECT_TRUE(Style(Form()) & WS_VSCROLL);
}

TEST_F(MainWindowTest, ClicksRunTheirHandlers) {
    std::string calls;
    form_->SetActions({{Button1, [&] { calls += "1"; }},
                       {Button2, [&] { calls += "2"; }},
                       {Button3, [&] { calls += "3"; }},
                       {Button4, [&] { calls += "4"; }},
                       {Label6, [&] { calls += "6"; }}},
                      {});
    for (ControlId button : {Button1, Button2, Button3, Button4}) {
        SendMessageW(Item(button), BM_CLICK, 0, 0);
    }
    SendMessageW(Item(Label6), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageW(Item(Label6), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    Pump();
    EXPECT_EQ(calls, "12346");

    // Clicks elsewhere run nothing; without actions the handlers do nothing.
    SendMessageW(Item(Label2), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    SendMessageW(Item(GroupBox1), BM_CLICK, 0, 0);
    form_->SetActions({}, {});
    SendMessageW(Item(Button1), BM_CLICK, 0, 0);
    Pump();
    EXPECT_EQ(calls, "12346");
}

TEST_F(MainWindowTest, ProgressBarStartsEmptyAndTakesTheSinksPositions) {
    HWND bar = Item(ProgressBar1);
    PBRANGE range{};
    SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_FALSE(Style(bar) & (PBS_SMOOTH | PBS_VERTICAL));

    form_->ProgressBar1().SetPosition(40);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 40);
    form_->ProgressBar1().SetPosition(100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 100);
}

TEST_F(MainWindowTest, ClosingTheWindowEndsTheLoop) {
    SendMessageW(Form(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Form(), nullptr);
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);  // the program's exit code
}

class StartUpTest : public GuiTest {
  protected:
    void SetUp() override {}
};

TEST_F(StartUpTest, ShowMaximizedOpensTheWindowMaximised) {
    Start(SW_SHOWMAXIMIZED);
    EXPECT_TRUE(IsZoomed(Form()));
}

TEST_F(StartUpTest, ShowMinNoActiveOpensTheApplicationMinimisedAndLeavesTheActiveWindow) {
    HWND other = CreateWindowExW(0, L"Static", L"Autre programme", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 50, 50, 300, 200, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    ASSERT_EQ(GetForegroundWindow(), other);
    Start(SW_SHOWMINNOACTIVE);
    EXPECT_TRUE(IsIconic(application_->Handle()));
    EXPECT_FALSE(IsWindowVisible(Form()));
    EXPECT_EQ(GetForegroundWindow(), other) << "the start took the activation";
    DestroyWindow(other);
    // Restored from the taskbar, the window comes back.
    ShowWindow(application_->Handle(), SW_RESTORE);
    Pump();
    EXPECT_TRUE(IsWindowVisible(Form()));
}

// The frame of Windows 10 and 11 around a sizable window with a caption, as
// AdjustWindowRectExForDpi gives it: at 96 dpi 8 pixels on the sides and at the
// bottom (border and padded border) and 31 at the top (the caption too), in
// proportion at other settings. Records what it was asked.
struct FrameQuestion {
    DWORD style = 0;
    BOOL menu = TRUE;
    UINT dpi = 0;
};
FrameQuestion asked;

BOOL WINAPI Windows10Frame(RECT* rect, DWORD style, BOOL menu, DWORD, UINT dpi) {
    asked = {style, menu, dpi};
    const int side = MulDiv(8, static_cast<int>(dpi), 96);
    rect->left -= side;
    rect->right += side;
    rect->bottom += side;
    rect->top -= MulDiv(31, static_cast<int>(dpi), 96);
    return TRUE;
}

TEST(FormOuterSizeTest, LeavesTheLayoutsClientAreaInsideAThickFrame) {
    const struct {
        UINT dpi;
        int textHeight;
        SIZE outer;
    } cases[] = {
        {96, 13, {384 + 2 * 8, 214 + 31 + 8}},  // where 392 x 243 left only 376 x 204
        {120, 16, {473 + 2 * 10, 263 + 39 + 10}},
        {144, 20, {591 + 2 * 12, 329 + 47 + 12}},
        {192, 26, {768 + 2 * 16, 428 + 62 + 16}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.dpi << " dpi");
        const SIZE outer = FormOuterSize(LayoutScale(static_cast<int>(c.dpi), c.textHeight), c.dpi,
                                         Windows10Frame);
        EXPECT_EQ(outer.cx, c.outer.cx);
        EXPECT_EQ(outer.cy, c.outer.cy);
        // The frame of the window's own styles, without scroll bars or menu.
        EXPECT_EQ(asked.dpi, c.dpi);
        EXPECT_FALSE(asked.menu);
        EXPECT_EQ(asked.style & (WS_CAPTION | WS_THICKFRAME), WS_CAPTION | WS_THICKFRAME);
        EXPECT_FALSE(asked.style & (WS_HSCROLL | WS_VSCROLL));
    }
}

TEST(LayoutScaleTest, OnlyAnotherDpiWithAnotherTextHeightScales) {
    EXPECT_EQ(LayoutScale::FontHeight(96), -11);
    EXPECT_EQ(LayoutScale::FontHeight(120), -14);
    EXPECT_EQ(LayoutScale::FontHeight(144), -17);

    EXPECT_EQ(LayoutScale(96, 16)(369), 369);   // a substituted font at 96 dpi
    EXPECT_EQ(LayoutScale(120, 13)(369), 369);  // the text height came out unchanged
    EXPECT_EQ(LayoutScale(120, 16)(369), 454);  // 369 * 16 / 13 = 454.15
    EXPECT_EQ(LayoutScale(120, 16)(13), 16);
    EXPECT_EQ(LayoutScale(144, 20)(8), 12);  // 8 * 20 / 13 = 12.3
}

}  // namespace
}  // namespace morcelix::testing
