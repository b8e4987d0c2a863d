#pragma once
// The skin shared by every workflow dialog: the bitmaps the program entry loads once from
// the resource module, and the two fonts made on first request. Both live until the entry
// releases them; dialogs and buttons only borrow them.
#include <windows.h>

#include <cstddef>

// One row of a skin table: where a bitmap comes from and how it is cut.
struct SkinTableEntry
{
    int count;      // images side by side
    int key;        // kept with the bitmap; the dialogs store it and nothing more
    HBITMAP bitmap; // none in the table itself
    WORD resourceId;
    wchar_t path[MAX_PATH]; // empty: the bitmaps always come from resources
};

// One loaded bitmap of the skin set (bitmap null when it did not load).
struct SkinImage
{
    int count;
    int key;
    HBITMAP bitmap;
    WORD resourceId;
};

struct SkinFont
{
    int points;
    int reserved;
    int weight;
    HFONT font;
};

enum SkinFontIndex
{
    SKIN_FONT_NORMAL = 0, // 9 points, normal
    SKIN_FONT_BOLD = 1,   // 10 points, bold
};

// Loads the built-in table (background 205, then the button faces 204) from module.
void LoadSkinSet(HINSTANCE module);
// Loads the given table instead; the previous set is released first.
void LoadSkinSet(HINSTANCE module, const SkinTableEntry* table, size_t count);
// Deletes every bitmap of the set and both fonts, and forgets them.
void ReleaseSkinSet();

// The loaded entry of a resource, or null when the set has no such entry.
const SkinImage* FindSkinImage(WORD resourceId);
// Font record 0 or 1 (any other index gives record 0), its font made on first request.
const SkinFont& GetSkinFont(int index);
