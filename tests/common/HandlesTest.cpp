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

TEST(Handles, SocketWrapperClosesItsSocketAndTreatsInvalidSocketAsNone)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    auto isSocket = [](SOCKET s)
    {
        int type = 0, length = sizeof type;
        return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
    };
    UniqueSocket none;
    EXPECT_FALSE(none.valid());
    EXPECT_EQ(none.get(), INVALID_SOCKET);

    SOCKET raw = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(raw, INVALID_SOCKET);
    {
        UniqueSocket a(raw);
        UniqueSocket b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_TRUE(isSocket(raw));
    }
    EXPECT_FALSE(isSocket(raw)) << "the last owner closes the socket";

    SOCKET kept = socket(AF_INET, SOCK_STREAM, 0);
    {
        UniqueSocket c(kept);
        EXPECT_EQ(c.release(), kept);
    }
    EXPECT_TRUE(isSocket(kept));
    closesocket(kept);
    WSACleanup();
}

namespace
{
struct Contender
{
    CriticalSection* cs;
    bool entered;
};

DWORD WINAPI TryFromOtherThread(LPVOID arg)
{
    Contender* c = static_cast<Contender*>(arg);
    c->entered = c->cs->TryEnter();
    if (c->entered)
        c->cs->Leave();
    return 0;
}

bool OtherThreadCanEnter(CriticalSection& cs)
{
    Contender c = {&cs, false};
    UniqueHandle thread(CreateThread(nullptr, 0, TryFromOtherThread, &c, 0, nullptr));
    EXPECT_TRUE(thread.valid());
    EXPECT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    return c.entered;
}
} // namespace

TEST(Handles, CriticalSectionLockHoldsForItsScopeOnly)
{
    CriticalSection cs;
    EXPECT_TRUE(OtherThreadCanEnter(cs));
    {
        CriticalSectionLock lock(cs);
        EXPECT_FALSE(OtherThreadCanEnter(cs)) << "held while the lock lives";
        CriticalSectionLock again(cs); // the owning thread may enter again
    }
    EXPECT_TRUE(OtherThreadCanEnter(cs)) << "left as often as entered";
}
