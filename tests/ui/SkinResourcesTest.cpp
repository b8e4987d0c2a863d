// The skin bitmaps and the icon as the programs carry them: the sizes the dialogs slice
// them by, four distinct button faces, and both icon sizes in the icon group.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <vector>

#include "ui/resource.h"

namespace
{
struct Bitmap
{
    HBITMAP handle;
    explicit Bitmap(HBITMAP h) : handle(h) {}
    ~Bitmap()
    {
        if (handle)
            DeleteObject(handle);
    }
};

// The pixels of a bitmap as 32-bit BGRX, top row first.
std::vector<uint32_t> Pixels(HBITMAP bitmap, int width, int height)
{
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC dc = GetDC(nullptr);
    int rows = GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    EXPECT_EQ(rows, height);
    for (auto& p : pixels)
        p &= 0xFFFFFF;
    return pixels;
}
} // namespace

TEST(SkinResources, BitmapsLoadWithTheirSizesAndDepth)
{
    struct Case
    {
        int id, width, height;
    } cases[] = {{IDB_SKIN_BACKGROUND, 400, 167}, {IDB_SKIN_BUTTONS, 376, 26}};
    HINSTANCE module = GetModuleHandleW(nullptr);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        // The way the programs load them.
        Bitmap ddb(LoadBitmapW(module, MAKEINTRESOURCEW(c.id)));
        ASSERT_NE(ddb.handle, nullptr);
        BITMAP bm = {};
        ASSERT_EQ(GetObjectW(ddb.handle, sizeof(bm), &bm), static_cast<int>(sizeof(bm)));
        EXPECT_EQ(bm.bmWidth, c.width);
        EXPECT_EQ(bm.bmHeight, c.height);
        // A DIB section keeps the depth the resource was stored with.
        Bitmap dib(static_cast<HBITMAP>(
            LoadImageW(module, MAKEINTRESOURCEW(c.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        ASSERT_NE(dib.handle, nullptr);
        DIBSECTION ds = {};
        ASSERT_EQ(GetObjectW(dib.handle, sizeof(ds), &ds), static_cast<int>(sizeof(ds)));
        EXPECT_EQ(ds.dsBm.bmWidth, c.width);
        EXPECT_EQ(ds.dsBm.bmHeight, c.height);
        EXPECT_EQ(ds.dsBm.bmBitsPixel, 8);
    }
}

TEST(SkinResources, ButtonFacesDifferPairwise)
{
    const int kFaceWidth = 94, kFaceHeight = 26, kFaces = 4;
    Bitmap faces(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_SKIN_BUTTONS)));
    ASSERT_NE(faces.handle, nullptr);
    std::vector<uint32_t> all = Pixels(faces.handle, kFaceWidth * kFaces, kFaceHeight);
    std::vector<std::vector<uint32_t>> slices(kFaces);
    for (int i = 0; i < kFaces; ++i)
        for (int y = 0; y < kFaceHeight; ++y)
        {
            auto row = all.begin() + static_cast<ptrdiff_t>(y) * kFaceWidth * kFaces + i * kFaceWidth;
            slices[i].insert(slices[i].end(), row, row + kFaceWidth);
        }
    for (int i = 0; i < kFaces; ++i)
        for (int j = i + 1; j < kFaces; ++j)
            EXPECT_NE(slices[i], slices[j]) << "faces " << i << " and " << j;
    // The face's centre is not the dialog body around its rounded corners.
    for (int i = 0; i < kFaces; ++i)
        EXPECT_NE(slices[i][kFaceHeight / 2 * kFaceWidth + kFaceWidth / 2], slices[i][0]) << "face " << i;
}

TEST(SkinResources, IconGroupHoldsSixteenAndThirtyTwo)
{
    HINSTANCE module = GetModuleHandleW(nullptr);
    HICON shared = LoadIconW(module, MAKEINTRESOURCEW(IDI_APP));
    EXPECT_NE(shared, nullptr);
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_APP), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    auto* directory = static_cast<BYTE*>(LockResource(LoadResource(module, group)));
    ASSERT_NE(directory, nullptr);
    for (int size : {16, 32})
    {
        SCOPED_TRACE(size);
        // The image the system picks for this size must be one drawn at this size, not a
        // scaled other one.
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        ASSERT_NE(id, 0);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
        ASSERT_NE(image, nullptr);
        auto* header = static_cast<BITMAPINFOHEADER*>(LockResource(LoadResource(module, image)));
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->biWidth, size);
        EXPECT_EQ(header->biHeight, 2 * size); // colour and mask
        HICON icon =
            static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, size, size, 0));
        ASSERT_NE(icon, nullptr);
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bm = {};
        GetObjectW(info.hbmColor, sizeof(bm), &bm);
        EXPECT_EQ(bm.bmWidth, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}
