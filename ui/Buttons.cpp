#include "ui/Buttons.h"

#include "platform/Guards.h"
#include "ui/Dpi.h"
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

// The focus mark's pen: one-pixel dots at 96 DPI; above it dots as wide as
// the line and as long, square-ended.
HPEN DottedPen(int width, COLORREF color) {
    if (width <= 1)
        return CreatePen(PS_DOT, 1, color);
    const LOGBRUSH brush = {BS_SOLID, color, 0};
    const DWORD dots[] = {static_cast<DWORD>(width), static_cast<DWORD>(width)};
    return ExtCreatePen(PS_GEOMETRIC | PS_USERSTYLE | PS_ENDCAP_FLAT | PS_JOIN_MITER,
                        static_cast<DWORD>(width), &brush, 2, dots);
}

RECT ButtonRect(int top, UINT dpi) {
    return ScaleRectToDpi({92, top, 588, top + 44}, dpi);
}

} // namespace

HWND CreateCommandButton(HWND parent, HINSTANCE instance, int id, const wchar_t* caption, int top,
                         HFONT font, WNDPROC subclass, UINT dpi) {
    const RECT place = ButtonRect(top, dpi);
    HWND button = CreateWindowExW(0, L"BUTTON", caption,
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, place.left,
                                  place.top, place.right - place.left, place.bottom - place.top,
                                  parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  instance, nullptr);
    if (button == nullptr)
        return nullptr;
    PlaceCommandButton(button, top, font, dpi);
    SetWindowLongPtrW(button, GWLP_USERDATA, GetWindowLongPtrW(button, GWLP_WNDPROC));
    SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(subclass));
    return button;
}

void PlaceCommandButton(HWND button, int top, HFONT font, UINT dpi) {
    const RECT place = ButtonRect(top, dpi);
    const int width = place.right - place.left;
    const int height = place.bottom - place.top;
    SetWindowPos(button, nullptr, place.left, place.top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // One pixel past the button, as GDI regions leave out their last row and
    // column. The button owns its region once it is handed over.
    const int corner = ScaleToDpi(24, dpi);
    if (HRGN region = CreateRoundRectRgn(0, 0, width + 1, height + 1, corner, corner))
        SetWindowRgn(button, region, TRUE);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void DrawButton(const DRAWITEMSTRUCT* item, int hoveredButton, HFONT font, UINT dpi) {
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

    const int line = ScaleToDpi(1, dpi);
    const int corner = ScaleToDpi(12, dpi);
    RECT shadow = item->rcItem;
    OffsetRect(&shadow, 0, ScaleToDpi(2, dpi));
    FillRoundRect(dc, shadow, corner, RGB(0xEB, 0xEC, 0xF0), RGB(0xEB, 0xEC, 0xF0), line);
    FillRoundRect(dc, item->rcItem, corner, colors.border, colors.fill, line);

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
        const int inset = ScaleToDpi(4, dpi);
        InflateRect(&mark, -inset, -inset);
        GdiObjectGuard pen(DottedPen(line, RGB(0x78, 0x78, 0x80)));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, GetStockObject(NULL_BRUSH));
        const int markCorner = ScaleToDpi(10, dpi);
        RoundRect(dc, mark.left, mark.top, mark.right, mark.bottom, markCorner, markCorner);
    }
}
