#pragma once
// A worker's callback and the context it is registered with, changed and read as one.
// The owner may replace or clear the pair while the worker runs (a dialog clears it
// before its window goes away); the worker copies the pair and calls the copy, so it
// never calls a new function with an old or cleared context. The call itself runs
// outside the lock: a callback may wait for the owner's thread, which may be setting.
#include <mutex>

template <typename Fn> class CallbackSlot
{
  public:
    struct Pair
    {
        Fn fn = nullptr;
        void* user = nullptr;
    };

    void Set(Fn fn, void* user)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pair.fn = fn;
        m_pair.user = user;
    }
    Pair Get() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pair;
    }

  private:
    mutable std::mutex m_lock;
    Pair m_pair;
};
