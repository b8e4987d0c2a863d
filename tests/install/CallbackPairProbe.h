#pragma once
// Checks that a worker's callback and its context change as one. A thread of the probe
// replaces the pair over and over (function A with context A, function B with context
// B, nothing) while the worker calls back; every call must come with the context of the
// function called.
#include <atomic>
#include <thread>

struct CallbackPairProbe
{
    int contextA = 0;
    int contextB = 0;
    std::atomic<long> calls{0};
    std::atomic<long> mismatches{0};
    std::atomic<long> swaps{0};

    ~CallbackPairProbe() { Stop(); }

    // Called by function A (isA) or B with the context it received.
    void Called(void* user, bool isA)
    {
        ++calls;
        if (user != (isA ? static_cast<void*>(&contextA) : static_cast<void*>(&contextB)))
            ++mismatches;
    }

    // set(fn, user) registers a pair with the worker's owner.
    template <typename Fn, typename Set> void Start(Fn a, Fn b, Set set)
    {
        m_thread = std::thread(
            [this, a, b, set]
            {
                while (!m_quit)
                {
                    set(a, &contextA);
                    set(b, &contextB);
                    set(Fn(), nullptr);
                    ++swaps;
                }
            });
    }
    void Stop()
    {
        m_quit = true;
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};
