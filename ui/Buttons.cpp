#include "ui/Buttons.h"

#include "platform/Guards.h"
#include "ui/RoundRects.h"

namespace {

struct ButtonColors {
    COLORREF fill;
    COLORREF border;
    COLORREF text;
};

// Disabled over pressed over hovered over normal.
enum ButtonState { kNormal, kHovered, kPressed, kDisabled };

ButtonColors ColorsFor(UINT controlId, ButtonState state) {
    static const ButtonColors online[] = {
        {RGB(0x41, 0x00, 0x09), RGB(0x41, 0x00, 0x09), RGB(0xFF, 0xFF, 0xFF)},
        {RGB(0x4D, 0x00, 0x09), RGB(0x4D, 0x00, 0x09), RGB(0xFF, 0xFF, 0xFF)},
        {RGB(0x59, 0x00, 0x09), RGB(0x59, 0x00, 0x09), RGB(0xFF, 0xFF, 0xFF)},
        {RGB(0xE0, 0xE0, 0xE4), RGB(0xE0, 0xE0, 0xE4), RGB(0x8C, 0x8C, 0x91)},
    };
    static const ButtonColors official[] = {
        {RGB(0xFF, 0xFF, 0xFF), RGB(0xD8, 0xD9, 0xDE), RGB(0x20, 0x20, 0x23)},
        {RGB(0xF7, 0xF7, 0xFA), RGB(0xBC, 0xBF, 0xC6), RGB(0x20, 0x20, 0x23)},
        {RGB(0xEF, 0xF0, 0xF3), RGB(0xB4, 0xB8, 0xC0), RGB(0x20, 0x20, 0x23)},
        {RGB(0xF5, 0xF5, 0xF7), RGB(0xE4, 0xE5, 0xE8), RGB(0x90, 0x90, 0x95)},
    };
    static const ButtonColors community[] = {
        {RGB(0xF8, 0xFB, 0xFF), RGB(0xAC, 0xCD, 0xFF), RGB(0x14, 0x54, 0xB4)},
        {RGB(0xF0, 0xF6, 0xFF), RGB(0x40, 0x88, 0xFF), RGB(0x14, 0x54, 0xB4)},
        {RGB(0xE2, 0xEF, 0xFF), RGB(0x2E, 0x74, 0xE8), RGB(0x14, 0x54, 0xB4)},
        {RGB(0xF5, 0xF7, 0xFA), RGB(0xE0, 0xE5, 0xEB), RGB(0x90, 0x90, 0x95)},
    };
    switch (controlId) {
    case kOnlineButtonId:
        return online[state];
    case kOfficialButtonId:
        return official[state];
    case kCommunityButtonId:
        return community[state];
    default:
        return {RGB(0xFF, 0xFF, 0xFF), RGB(0xD8, 0xD9, 0xDE), RGB(0x20, 0x20, 0x23)};
    }
}

} // namespace

HWND CreateCommandButton(HWND parent, HINSTANCE instance, int id, const wchar_t* caption, int top,
                         HFONT font, WNDPROC subclass) {
    HWND button = CreateWindowExW(
        0, L"BUTTON", caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 92, top, 496, 44,
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (button == nullptr)
        return nullptr;
    // The button owns its region once it is handed over.
    if (HRGN region = CreateRoundRectRgn(0, 0, 497, 45, 24, 24))
        SetWindowRgn(button, region, TRUE);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetWindowLongPtrW(button, GWLP_USERDATA, GetWindowLongPtrW(button, GWLP_WNDPROC));
    SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(subclass));
    return button;
}

void DrawButton(const DRAWITEMSTRUCT* item, int hoveredButton, HFONT font) {
    if (item == nullptr)
        return;
    const HDC dc = item->hDC;
    const bool pressed = (item->itemState & ODS_SELECTED) != 0;
    const bool disabled = (item->itemState & ODS_DISABLED) != 0;
    const bool focused = (item->itemState & ODS_FOCUS) != 0;
    const bool hovered = hoveredButton == static_cast<int>(item->CtlID);
    const ButtonState state = disabled  ? kDisabled
                              : pressed ? kPressed
                              : hovered ? kHovered
                                        : kNormal;
    const ButtonColors colors = ColorsFor(item->CtlID, state);

    RECT shadow = item->rcItem;
    OffsetRect(&shadow, 0, 2);
    FillRoundRect(dc, shadow, 12, RGB(0xEB, 0xEC, 0xF0), RGB(0xEB, 0xEC, 0xF0));
    FillRoundRect(dc, item->rcItem, 12, colors.border, colors.fill);

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colors.text);
    {
        SelectGuard selectFont(dc, font);
        wchar_t caption[256] = {};
        GetWindowTextW(item->hwndItem, caption, 255);
        RECT textRect = item->rcItem;
        DrawTextW(dc, caption, -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }

    if (focused) {
        RECT mark = item->rcItem;
        InflateRect(&mark, -4, -4);
        GdiObjectGuard pen(CreatePen(PS_DOT, 1, RGB(0x78, 0x78, 0x80)));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, GetStockObject(NULL_BRUSH));
        RoundRect(dc, mark.left, mark.top, mark.right, mark.bottom, 10, 10);
    }
}
