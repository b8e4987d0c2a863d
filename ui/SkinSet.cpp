#include "ui/SkinSet.h"

#include <vector>

#include "common/Log.h"
#include "ui/resource.h"

namespace
{
const SkinTableEntry kBuiltInSkin[] = {
    {1, -1, nullptr, IDB_SKIN_BACKGROUND, L""},
    {4, -1, nullptr, IDB_SKIN_BUTTONS, L""},
};

std::vector<SkinImage>& Images()
{
    static std::vector<SkinImage> images;
    return images;
}

SkinFont g_fonts[2] = {
    {9, 0, FW_NORMAL, nullptr},
    {10, 0, FW_BOLD, nullptr},
};

// Handles are logged as the 32-bit values the log format reads.
unsigned LogValue(const void* handle)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle));
}
} // namespace

void LoadSkinSet(HINSTANCE module)
{
    LoadSkinSet(module, kBuiltInSkin, sizeof(kBuiltInSkin) / sizeof(kBuiltInSkin[0]));
}

void LoadSkinSet(HINSTANCE module, const SkinTableEntry* table, size_t count)
{
    ReleaseSkinSet();
    std::vector<SkinImage>& images = Images();
    for (size_t i = 0; i < count; ++i)
    {
        const SkinTableEntry& entry = table[i];
        SkinImage image = {0, 0, nullptr, entry.resourceId};
        HBITMAP bitmap = ::LoadBitmapW(module, MAKEINTRESOURCEW(entry.resourceId));
        if (bitmap)
        {
            image.count = entry.count;
            image.key = entry.key;
            image.bitmap = bitmap;
            WriteLog(LOG_INFO, L"hBitmap=%x resource_id=%d", LogValue(bitmap),
                     static_cast<int>(entry.resourceId));
        }
        else
        {
            WriteLog(LOG_INFO, L"hBitmap failed=%x resource_id=%d", LogValue(module),
                     static_cast<int>(entry.resourceId));
        }
        images.push_back(image);
    }
}

void ReleaseSkinSet()
{
    for (SkinImage& image : Images())
    {
        if (image.bitmap)
            ::DeleteObject(image.bitmap);
    }
    Images().clear();
    for (SkinFont& font : g_fonts)
    {
        if (font.font)
            ::DeleteObject(font.font);
        font.font = nullptr;
    }
}

const SkinImage* FindSkinImage(WORD resourceId)
{
    for (const SkinImage& image : Images())
    {
        if (image.resourceId == resourceId)
            return &image;
    }
    return nullptr;
}

const SkinFont& GetSkinFont(int index)
{
    SkinFont& record = g_fonts[index == SKIN_FONT_BOLD ? 1 : 0];
    if (!record.font)
    {
        HDC screen = ::GetDC(nullptr);
        int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
        if (screen)
            ::ReleaseDC(nullptr, screen);
        LOGFONTW lf = {};
        lf.lfHeight = -::MulDiv(record.points, dpi, 72);
        lf.lfWeight = record.weight;
        lf.lfQuality = CLEARTYPE_QUALITY;
        wcscpy_s(lf.lfFaceName, L"MS Shell Dlg");
        record.font = ::CreateFontIndirectW(&lf);
    }
    return record;
}
