#include <gtest/gtest.h>

#include "common/Handles.h"

namespace
{
bool IsOpen(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}
} // namespace

TEST(Handles, ResetReleaseAndMoveKeepExactlyOneOwner)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        UniqueHandle a(raw);
        EXPECT_TRUE(a.valid());
        UniqueHandle b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), raw);
        UniqueHandle c;
        c = std::move(b);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw)) << "the last owner closes the handle";

    HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        UniqueHandle d(kept);
        EXPECT_EQ(d.release(), kept);
    }
    EXPECT_TRUE(IsOpen(kept)) << "release gives up ownership without closing";

    UniqueHandle e(kept);
    HANDLE other = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    e.reset(other);
    EXPECT_FALSE(IsOpen(kept));
    EXPECT_TRUE(IsOpen(other));
    e.reset();
    EXPECT_FALSE(IsOpen(other));
}

TEST(Handles, FileWrapperTreatsInvalidHandleValueAsNone)
{
    UniqueFile none;
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
    UniqueFile missing(
        CreateFileW(L"C:\\no\\such\\file.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.valid());
    UniqueHandle zero; // a kernel handle uses NULL for none
    EXPECT_EQ(zero.get(), nullptr);
}
