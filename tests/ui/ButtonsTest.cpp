// The owner-drawn buttons' colours by state, drawn on a canvas through a real
// button window that supplies the caption.

#include "app/LauncherApp.h"
#include "tests/ui/Canvas.h"

#include <gtest/gtest.h>

namespace {

struct Look {
    COLORREF fill;
    COLORREF border;
};

class Buttons : public ::testing::Test {
protected:
    Buttons() {
        button = CreateWindowExW(0, L"BUTTON", L"Онлайн версия", WS_POPUP | BS_OWNERDRAW, 0, 0, 496,
                                 44, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~Buttons() override { DestroyWindow(button); }

    // Paints the button and reads the body's fill and its left border.
    Look Paint(UINT id, UINT state, int hovered = 0) {
        Canvas canvas(497, 47, 0xFFFFFF);
        app.hoveredButton = hovered;
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.CtlID = id;
        item.itemState = state;
        item.hwndItem = button;
        item.hDC = canvas.Dc();
        item.rcItem = RECT{0, 0, 496, 44};
        app.DrawButton(&item);
        lastShadow = canvas.ColorAt(248, 45);
        lastFocusDots = 0;
        for (int y = 10; y < 34; ++y)
            if (canvas.ColorAt(4, y) == RGB(0x78, 0x78, 0x80))
                ++lastFocusDots;
        return {canvas.ColorAt(20, 22), canvas.ColorAt(0, 22)};
    }

    LauncherApp app;
    HWND button = nullptr;
    COLORREF lastShadow = 0;
    int lastFocusDots = 0;
};

bool operator==(const Look& a, const Look& b) {
    return a.fill == b.fill && a.border == b.border;
}

Look L(COLORREF fill, COLORREF border) {
    return {fill, border};
}

} // namespace

TEST_F(Buttons, OnlineButtonIsDarkRedWithoutAVisibleOutline) {
    EXPECT_TRUE(Paint(1001, 0) == L(RGB(0x41, 0x00, 0x09), RGB(0x41, 0x00, 0x09)));
    EXPECT_TRUE(Paint(1001, 0, 1001) == L(RGB(0x4D, 0x00, 0x09), RGB(0x4D, 0x00, 0x09)));
    EXPECT_TRUE(Paint(1001, ODS_SELECTED) == L(RGB(0x59, 0x00, 0x09), RGB(0x59, 0x00, 0x09)));
    EXPECT_TRUE(Paint(1001, ODS_DISABLED) == L(RGB(0xE0, 0xE0, 0xE4), RGB(0xE0, 0xE0, 0xE4)));
    EXPECT_EQ(lastShadow, RGB(0xEB, 0xEC, 0xF0));
}

TEST_F(Buttons, OfficialAndCommunityButtonsHaveADistinctOutline) {
    EXPECT_TRUE(Paint(1002, 0) == L(RGB(0xFF, 0xFF, 0xFF), RGB(0xD8, 0xD9, 0xDE)));
    EXPECT_TRUE(Paint(1002, 0, 1002) == L(RGB(0xF7, 0xF7, 0xFA), RGB(0xBC, 0xBF, 0xC6)));
    EXPECT_TRUE(Paint(1002, ODS_SELECTED) == L(RGB(0xEF, 0xF0, 0xF3), RGB(0xB4, 0xB8, 0xC0)));
    EXPECT_TRUE(Paint(1002, ODS_DISABLED) == L(RGB(0xF5, 0xF5, 0xF7), RGB(0xE4, 0xE5, 0xE8)));
    EXPECT_TRUE(Paint(1003, 0) == L(RGB(0xF8, 0xFB, 0xFF), RGB(0xAC, 0xCD, 0xFF)));
    EXPECT_TRUE(Paint(1003, 0, 1003) == L(RGB(0xF0, 0xF6, 0xFF), RGB(0x40, 0x88, 0xFF)));
    EXPECT_TRUE(Paint(1003, ODS_SELECTED) == L(RGB(0xE2, 0xEF, 0xFF), RGB(0x2E, 0x74, 0xE8)));
    EXPECT_TRUE(Paint(1003, ODS_DISABLED) == L(RGB(0xF5, 0xF7, 0xFA), RGB(0xE0, 0xE5, 0xEB)));
}

TEST_F(Buttons, DisabledOverPressedOverHovered) {
    // Pressed and hovered: pressed.
    EXPECT_TRUE(Paint(1003, ODS_SELECTED, 1003) == L(RGB(0xE2, 0xEF, 0xFF), RGB(0x2E, 0x74, 0xE8)));
    // Disabled, pressed and focused: disabled, with the focus mark.
    EXPECT_TRUE(Paint(1002, ODS_DISABLED | ODS_SELECTED | ODS_FOCUS, 1002) ==
                L(RGB(0xF5, 0xF5, 0xF7), RGB(0xE4, 0xE5, 0xE8)));
    EXPECT_GT(lastFocusDots, 3);
    // Hovering another button changes nothing.
    EXPECT_TRUE(Paint(1002, 0, 1001) == L(RGB(0xFF, 0xFF, 0xFF), RGB(0xD8, 0xD9, 0xDE)));
}

TEST_F(Buttons, FocusMarkOnlyWhenFocused) {
    Paint(1002, 0);
    EXPECT_EQ(lastFocusDots, 0);
    Paint(1002, ODS_FOCUS);
    EXPECT_GT(lastFocusDots, 3);
    EXPECT_LT(lastFocusDots, 24); // dotted, not solid
}

TEST_F(Buttons, UnknownIdIsNeutralInEveryState) {
    for (UINT state : {0u, UINT(ODS_SELECTED), UINT(ODS_DISABLED)})
        EXPECT_TRUE(Paint(1004, state, 1004) == L(RGB(0xFF, 0xFF, 0xFF), RGB(0xD8, 0xD9, 0xDE)));
}
