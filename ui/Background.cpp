#include "ui/Background.h"

#include "platform/Guards.h"
#include "ui/Dpi.h"
#include "ui/Fonts.h"
#include "ui/RoundRects.h"

namespace {

const UINT kCenteredLine = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

// Renders a picture stretched over the rectangle, right way up: for a
// picture whose pixels cannot be read (a metafile or an icon).
void RenderPicture(IPicture* picture, HDC dc, const RECT& rect) {
    OLE_XSIZE_HIMETRIC pictureWidth = 0;
    OLE_YSIZE_HIMETRIC pictureHeight = 0;
    picture->get_Width(&pictureWidth);
    picture->get_Height(&pictureHeight);
    if (pictureWidth <= 0 || pictureHeight <= 0)
        return;
    picture->Render(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, 0,
                    pictureHeight, pictureWidth, -pictureHeight, nullptr);
}

void DrawPicture(HDC dc, IPicture* picture, ScaledPicture* image, const RECT& rect) {
    if (image == nullptr || !image->Draw(dc, picture, rect))
        RenderPicture(picture, dc, rect);
}

} // namespace

RECT StatusRect(const RECT& panel) {
    return {panel.left + 40, panel.top + 122, panel.right - 40, panel.top + 156};
}

std::wstring StatusLineOf(const std::wstring& text) {
    return text.substr(0, text.find_first_of(L"\r\n"));
}

void DrawWindowBackground(HDC dc, const RECT& client, const BackgroundLook& look) {
    const UINT dpi = look.dpi;
    const int line = ScaleToDpi(1, dpi);

    if (look.backgroundPicture != nullptr) {
        DrawPicture(dc, look.backgroundPicture, look.backgroundImage, client);
    } else {
        GdiObjectGuard brush(CreateSolidBrush(look.windowFillColor));
        FillRect(dc, &client, static_cast<HBRUSH>(brush.Get()));
    }

    RECT shadow = look.panelRect;
    OffsetRect(&shadow, 0, 6);
    DrawRoundedAlphaRect(dc, ScaleRectToDpi(shadow, dpi), ScaleToDpi(18, dpi),
                         RGB(0x78, 0x78, 0x82), 36, RGB(0x78, 0x78, 0x82), 36, line);

    const RECT panel = ScaleRectToDpi(look.panelRect, dpi);
    if (look.panelPicture != nullptr) {
        const int corner = ScaleToDpi(36, dpi);
        GdiObjectGuard region(CreateRoundRectRgn(panel.left, panel.top, panel.right + 1,
                                                 panel.bottom + 1, corner, corner));
        if (region.Get() != nullptr) {
            const int saved = SaveDC(dc);
            SelectClipRgn(dc, static_cast<HRGN>(region.Get()));
            DrawPicture(dc, look.panelPicture, look.panelImage, panel);
            RestoreDC(dc, saved);
        } else {
            DrawPicture(dc, look.panelPicture, look.panelImage, panel);
        }
        GdiObjectGuard pen(CreateLinePen(line, look.panelBorderColor));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, GetStockObject(NULL_BRUSH));
        const int outline = ScaleToDpi(18, dpi);
        RoundRect(dc, panel.left, panel.top, panel.right, panel.bottom, outline, outline);
    } else {
        DrawRoundedAlphaRect(dc, panel, ScaleToDpi(18, dpi), look.panelFillColor, look.panelAlpha,
                             look.panelBorderColor, 255, line);
    }

    const RECT& layout = look.panelRect;
    RECT badge = ScaleRectToDpi(
        {layout.left + 26, layout.top + 18, layout.left + 194, layout.top + 44}, dpi);
    FillRoundRect(dc, badge, ScaleToDpi(14, dpi), RGB(0xEC, 0xDB, 0xF3), RGB(0xF4, 0xE9, 0xF8),
                  line);

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x7E, 0x22, 0xCE));
    GdiObjectGuard creditFont(
        CreateUiFont(ScaleToDpi(14, dpi), 600, look.displayFontFace, L"Segoe UI Variable Text"));
    SelectGuard selectFont(dc, creditFont.Get());
    DrawTextW(dc, L"by @Greyhallow", -1, &badge, kCenteredLine);
}

void DrawHeaderTexts(HDC dc, const HeaderLook& look, const std::wstring& statusText) {
    const RECT& panel = look.panelRect;
    RECT title = ScaleRectToDpi(
        {panel.left + 40, panel.top + 48, panel.right - 40, panel.top + 94}, look.dpi);
    RECT subtitle = ScaleRectToDpi(
        {panel.left + 40, panel.top + 96, panel.right - 40, panel.top + 124}, look.dpi);
    RECT status = ScaleRectToDpi(StatusRect(panel), look.dpi);

    SetBkMode(dc, TRANSPARENT);
    SelectGuard selectFont(dc, look.titleFont);
    SetTextColor(dc, look.titleColor);
    DrawTextW(dc, L"Vorn RPG Online", -1, &title, kCenteredLine | DT_END_ELLIPSIS);

    SelectObject(dc, look.subtitleFont);
    SetTextColor(dc, look.subtitleColor);
    DrawTextW(dc, L"Удобный лаунчер для онлайн и официальной версии", -1, &subtitle,
              kCenteredLine | DT_END_ELLIPSIS);

    // One line at the top of its strip, above the bar, whatever its length:
    // the first line of the text, ending in an ellipsis where it does not fit.
    SelectObject(dc, look.statusFont);
    SetTextColor(dc, look.statusColor);
    const std::wstring line = StatusLineOf(statusText);
    DrawTextW(dc, line.c_str(), -1, &status,
              DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
}
