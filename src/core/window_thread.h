// The window-thread seam: everything that renders, relays or touches settings runs on one
// thread; other threads hand a call to it and wait until it has returned (a synchronous message).
#pragma once
#include <type_traits>
#include <utility>

class WindowThread {
public:
    using Fn = void (*)(void* ctx);
    using Pred = bool (*)(void* ctx);

    virtual ~WindowThread() = default;

    // Runs fn(ctx) on the window thread, never on the calling thread, and returns when it has
    // returned. Calls from other threads run one at a time, each sender's in the order sent. On
    // the window thread itself the call runs at once. Never allocates.
    virtual void Send(Fn fn, void* ctx) = 0;

    // True on the window thread.
    virtual bool IsCurrent() const = 0;

    // Waits until done(ctx) is true. On the window thread it keeps serving Send calls while it
    // waits, so a thread that hands over to it cannot deadlock the waiter; elsewhere it only
    // waits. Every waiter re-checks done whenever Wake() is called; whoever makes it true must
    // call Wake().
    virtual void ServeUntil(Pred done, void* ctx) = 0;
    virtual void Wake() = 0;

    template <class F> void Call(F&& f) {
        using T = std::remove_reference_t<F>;
        Send([](void* p) { (*static_cast<T*>(p))(); }, const_cast<std::remove_const_t<T>*>(&f));
    }
    template <class P> void ServeUntilTrue(P&& p) {
        using T = std::remove_reference_t<P>;
        ServeUntil([](void* q) { return static_cast<bool>((*static_cast<T*>(q))()); },
                   const_cast<std::remove_const_t<T>*>(&p));
    }
};
