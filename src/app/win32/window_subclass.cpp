// Subclassing without code written into objects: the window's procedure is one shared entry
// point, and a window property leads from the window to the object on top of its chain.
#include "app/win32/window_subclass.h"

namespace {
const wchar_t kObjectProp[] = L"Brisca.Subclass";
// Where an object that could not unhook (someone subclassed the window after it) leaves the
// former procedure when it goes away, so the window keeps working without it.
const wchar_t kOrphanProp[] = L"Brisca.Subclass.Previous";
}  // namespace

UINT WM_SUBCLASS_DETACH = 0;

UINT RegisterSubclassMessage() {
    if (!WM_SUBCLASS_DETACH)
        WM_SUBCLASS_DETACH = RegisterWindowMessageW(L"{207D9568-FF3C-11D3-A469-000629B2F855}");
    return WM_SUBCLASS_DETACH;
}

CWindowSubclass::~CWindowSubclass() {
    if (!m_hWnd) return;
    HWND hwnd = m_hWnd;
    if (Unhook() || !m_hWnd) return;
    // Still hooked below a foreign procedure: leave the window a way around this object.
    if (GetPropW(hwnd, kObjectProp) == this) {
        if (m_prevObject) {
            SetPropW(hwnd, kObjectProp, m_prevObject);
        } else {
            RemovePropW(hwnd, kObjectProp);
            SetPropW(hwnd, kOrphanProp, reinterpret_cast<HANDLE>(m_prevProc));
        }
    }
    Forget();
}

bool CWindowSubclass::Hook(HWND hwnd) {
    RegisterSubclassMessage();
    if (m_hWnd) return false;
    if (!IsWindow(hwnd)) return false;
    auto* below = static_cast<CWindowSubclass*>(GetPropW(hwnd, kObjectProp));
    if (!SetPropW(hwnd, kObjectProp, this)) return false;
    LONG_PTR old = SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EntryProc));
    if (!old) {
        if (below) SetPropW(hwnd, kObjectProp, below); else RemovePropW(hwnd, kObjectProp);
        return false;
    }
    m_prevProc = reinterpret_cast<WNDPROC>(old);
    m_prevObject = (m_prevProc == EntryProc) ? below : nullptr;
    m_hWnd = hwnd;
    return true;
}

HWND CWindowSubclass::Unhook() {
    if (!m_hWnd) return nullptr;
    m_bUnhooking = true;
    const HWND released = reinterpret_cast<HWND>(
        SendMessageW(m_hWnd, RegisterSubclassMessage(), 0, reinterpret_cast<LPARAM>(this)));
    m_bUnhooking = false;
    return released;
}

bool CWindowSubclass::IsDirectlyAbove(HWND hwnd, const CWindowSubclass* above) const {
    // Down the window's chain of our objects, from the top; a chain is short.
    int steps = 0;
    for (auto* o = static_cast<const CWindowSubclass*>(GetPropW(hwnd, kObjectProp)); o && steps < 64;
         o = o->m_prevObject, ++steps)
        if (o == above) return o->m_prevObject == this;
    return false;
}

void CWindowSubclass::Forget() {
    m_prevProc = DefWindowProcW;
    m_prevObject = nullptr;
    m_hWnd = nullptr;
}

bool CWindowSubclass::OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    if (msg == 0 || msg != WM_SUBCLASS_DETACH) return false;
    if (lp != reinterpret_cast<LPARAM>(this)) {
        // For an object further down: it learns from wParam who sits above it.
        result = CallPrevious(msg, reinterpret_cast<WPARAM>(this), lp);
        return true;
    }
    result = 0;
    // Only this object's own Unhook asks it to leave: a request sent from elsewhere (another
    // process can send this registered message too) is ignored.
    if (!m_hWnd || !m_bUnhooking) return true;
    HWND hwnd = m_hWnd;
    auto* above = reinterpret_cast<CWindowSubclass*>(wp);
    // wParam is trusted only as the object of ours that passed the request down to this one.
    if (above && !IsDirectlyAbove(hwnd, above)) return true;
    if (above) {
        // An object of ours sits above: it takes over what this one had before.
        above->m_prevProc = m_prevProc;
        above->m_prevObject = m_prevObject;
    } else {
        // This object must be on top; below a foreign procedure, giving the window back would
        // cut that procedure out, so the request is refused.
        if (GetWindowLongPtrW(hwnd, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(EntryProc) ||
            GetPropW(hwnd, kObjectProp) != this)
            return true;
        if (!SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_prevProc)))
            return true;
        if (m_prevObject) SetPropW(hwnd, kObjectProp, m_prevObject);
        else RemovePropW(hwnd, kObjectProp);
    }
    Forget();
    result = reinterpret_cast<LRESULT>(hwnd);
    return true;
}

LRESULT CWindowSubclass::CallProc(WNDPROC proc, CWindowSubclass* object, HWND hwnd, UINT msg,
                                  WPARAM wp, LPARAM lp) {
    if (proc == EntryProc && object) return Dispatch(object, hwnd, msg, wp, lp);
    return CallWindowProcW(proc, hwnd, msg, wp, lp);
}

LRESULT CWindowSubclass::CallPrevious(UINT msg, WPARAM wp, LPARAM lp) {
    return CallProc(m_prevProc, m_prevObject, m_hWnd, msg, wp, lp);
}

LRESULT CALLBACK CWindowSubclass::EntryProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = static_cast<CWindowSubclass*>(GetPropW(hwnd, kObjectProp));
    if (self) return Dispatch(self, hwnd, msg, wp, lp);
    auto orphan = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOrphanProp));
    if (msg == WM_NCDESTROY) RemovePropW(hwnd, kOrphanProp);
    return orphan ? CallWindowProcW(orphan, hwnd, msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CWindowSubclass::Dispatch(CWindowSubclass* self, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    // Taken before OnMessage: a handler may unhook the object and still leave the message unhandled.
    WNDPROC prev = self->m_prevProc;
    CWindowSubclass* prevObject = self->m_prevObject;
    LRESULT result = 0;
    if (!self->OnMessage(msg, wp, lp, result)) result = CallProc(prev, prevObject, hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY && self->m_hWnd == hwnd) {
        RemovePropW(hwnd, kObjectProp);
        self->Forget();
        self->OnWindowDestroyed();
    }
    return result;
}
