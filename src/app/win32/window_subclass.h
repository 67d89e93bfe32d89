// Window subclassing: an object takes over a window's message handling (OnMessage first, the
// window's former procedure for the rest) and gives it back on request or when the window dies.
#pragma once
#include <windows.h>

// The request to give a window back ("{207D9568-FF3C-11D3-A469-000629B2F855}"); lParam is the
// subclass object, wParam 0 when sent by Unhook. Registered once at program start. Honoured only
// while that object's Unhook is under way.
extern UINT WM_SUBCLASS_DETACH;
UINT RegisterSubclassMessage();

class CWindowSubclass {
public:
    CWindowSubclass() = default;
    virtual ~CWindowSubclass();  // unhooks if still hooked
    CWindowSubclass(const CWindowSubclass&) = delete;
    CWindowSubclass& operator=(const CWindowSubclass&) = delete;

    // True when the message was handled; result is then its answer. Derived classes pass what
    // they do not handle to this base, which answers the detach request.
    virtual bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);
    // Called once after the hooked window's last message.
    virtual void OnWindowDestroyed() {}

    bool Hook(HWND hwnd);  // false: already hooked, not a window, or refused
    HWND Unhook();         // the released window, or null
    HWND GetHookedWindow() const { return m_hWnd; }

protected:
    // The procedure the window had before this object (what an unhandled message reaches).
    LRESULT CallPrevious(UINT msg, WPARAM wp, LPARAM lp);
    WNDPROC PreviousProc() const { return m_prevProc; }

private:
    // The one window procedure of every hooked window: the window's property names its object.
    static LRESULT CALLBACK EntryProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT Dispatch(CWindowSubclass* self, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CallProc(WNDPROC proc, CWindowSubclass* object, HWND hwnd, UINT msg, WPARAM wp,
                            LPARAM lp);
    void Forget();  // back to "not hooked"
    // above is in this window's chain of our objects, just above this one.
    bool IsDirectlyAbove(HWND hwnd, const CWindowSubclass* above) const;

    WNDPROC m_prevProc = DefWindowProcW;
    CWindowSubclass* m_prevObject = nullptr;  // set when the window was already ours (a chain)
    HWND m_hWnd = nullptr;
    bool m_bUnhooking = false;  // set while this object's Unhook waits for the request's answer
};
