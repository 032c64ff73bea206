#include "ui/Background.h"

#include "platform/Guards.h"
#include "ui/Fonts.h"
#include "ui/RoundRects.h"

namespace {

const UINT kCenteredLine = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

// Renders a picture stretched over the rectangle, right way up.
void RenderPicture(IPicture* picture, HDC dc, int x, int y, int width, int height) {
    OLE_XSIZE_HIMETRIC pictureWidth = 0;
    OLE_YSIZE_HIMETRIC pictureHeight = 0;
    picture->get_Width(&pictureWidth);
    picture->get_Height(&pictureHeight);
    if (pictureWidth <= 0 || pictureHeight <= 0)
        return;
    picture->Render(dc, x, y, width, height, 0, pictureHeight, pictureWidth, -pictureHeight,
                    nullptr);
}

} // namespace

void DrawWindowBackground(HDC dc, const RECT& client, const BackgroundLook& look) {
    const int clientWidth = client.right - client.left;
    const int clientHeight = client.bottom - client.top;

    if (look.backgroundPicture != nullptr) {
        RenderPicture(look.backgroundPicture, dc, client.left, client.top, clientWidth,
                      clientHeight);
    } else {
        GdiObjectGuard brush(CreateSolidBrush(look.windowFillColor));
        FillRect(dc, &client, static_cast<HBRUSH>(brush.Get()));
    }

    RECT shadow = look.panelRect;
    OffsetRect(&shadow, 0, 6);
    DrawRoundedAlphaRect(dc, shadow, 18, RGB(0x78, 0x78, 0x82), 36, RGB(0x78, 0x78, 0x82), 36);

    const RECT& panel = look.panelRect;
    if (look.panelPicture != nullptr) {
        const int width = panel.right - panel.left;
        const int height = panel.bottom - panel.top;
        GdiObjectGuard region(
            CreateRoundRectRgn(panel.left, panel.top, panel.right + 1, panel.bottom + 1, 36, 36));
        if (region.Get() != nullptr) {
            const int saved = SaveDC(dc);
            SelectClipRgn(dc, static_cast<HRGN>(region.Get()));
            RenderPicture(look.panelPicture, dc, panel.left, panel.top, width, height);
            RestoreDC(dc, saved);
        } else {
            RenderPicture(look.panelPicture, dc, panel.left, panel.top, width, height);
        }
        GdiObjectGuard pen(CreatePen(PS_SOLID, 1, look.panelBorderColor));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, GetStockObject(NULL_BRUSH));
        RoundRect(dc, panel.left, panel.top, panel.right, panel.bottom, 18, 18);
    } else {
        DrawRoundedAlphaRect(dc, panel, 18, look.panelFillColor, look.panelAlpha,
                             look.panelBorderColor, 255);
    }

    RECT badge = {panel.left + 26, panel.top + 18, panel.left + 194, panel.top + 44};
    FillRoundRect(dc, badge, 14, RGB(0xEC, 0xDB, 0xF3), RGB(0xF4, 0xE9, 0xF8));

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x7E, 0x22, 0xCE));
    GdiObjectGuard creditFont(
        CreateUiFont(14, 600, look.displayFontFace, L"Segoe UI Variable Text"));
    SelectGuard selectFont(dc, creditFont.Get());
    DrawTextW(dc, L"by @Greyhallow", -1, &badge, kCenteredLine);
}

void DrawHeaderTexts(HDC dc, const HeaderLook& look, const std::wstring& statusText) {
    const RECT& panel = look.panelRect;
    RECT title = {panel.left + 40, panel.top + 48, panel.right - 40, panel.top + 94};
    RECT subtitle = {panel.left + 40, panel.top + 96, panel.right - 40, panel.top + 124};
    RECT status = {panel.left + 40, panel.top + 122, panel.right - 40, panel.top + 156};

    SetBkMode(dc, TRANSPARENT);
    SelectGuard selectFont(dc, look.titleFont);
    SetTextColor(dc, look.titleColor);
    DrawTextW(dc, L"Vorn RPG Online", -1, &title, kCenteredLine | DT_END_ELLIPSIS);

    SelectObject(dc, look.subtitleFont);
    SetTextColor(dc, look.subtitleColor);
    DrawTextW(dc, L"Удобный лаунчер для онлайн и официальной версии", -1, &subtitle,
              kCenteredLine | DT_END_ELLIPSIS);

    SelectObject(dc, look.statusFont);
    SetTextColor(dc, look.statusColor);
    DrawTextW(dc, statusText.c_str(), -1, &status, DT_CENTER | DT_WORDBREAK | DT_END_ELLIPSIS);
}
