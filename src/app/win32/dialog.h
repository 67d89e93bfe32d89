// A thin dialog layer over Win32: modal and modeless dialogs from resources, message maps as
// tables (one line per message naming its handler), data exchange and the key pre-filter.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

class CDialog;

// Every handler has this shape; its result is the message's answer.
using MsgHandler = LRESULT (CDialog::*)(WPARAM, LPARAM);

struct MessageMapEntry {
    UINT message;           // the window message (0 for a registered one)
    const UINT* registered; // a message number known only at run time (RegisterWindowMessage)
    UINT id;                // WM_COMMAND: command or control id
    UINT code;              // WM_COMMAND: notification code (0 = menu command or BN_CLICKED)
    MsgHandler handler;
};

struct MessageMap {
    const MessageMapEntry* entries;
    std::size_t count;
};

#define DECLARE_MESSAGE_MAP() const MessageMap* GetMessageMap() const override;
#define BEGIN_MESSAGE_MAP(cls)                                \
    const MessageMap* cls::GetMessageMap() const {            \
        static const MessageMapEntry entries[] = {
#define END_MESSAGE_MAP()                                                         \
        };                                                                        \
        static const MessageMap map{entries, sizeof(entries) / sizeof(entries[0])}; \
        return &map;                                                              \
    }
#define ON_MESSAGE(msg, fn) {msg, nullptr, 0, 0, static_cast<MsgHandler>(fn)},
#define ON_REGISTERED_MESSAGE(pmsg, fn) {0, pmsg, 0, 0, static_cast<MsgHandler>(fn)},
#define ON_COMMAND(id, fn) {WM_COMMAND, nullptr, id, 0, static_cast<MsgHandler>(fn)},
#define ON_CONTROL(code, id, fn) {WM_COMMAND, nullptr, id, code, static_cast<MsgHandler>(fn)},

// Data exchange between members and controls (UpdateData).
struct CDataExchange {
    CDialog* dlg;
    bool save;  // true: controls -> members
};
void DDX_Control(CDataExchange& dx, int id, HWND& control);
void DDX_Text(CDataExchange& dx, int id, std::wstring& text);
void DDX_Check(CDataExchange& dx, int id, int& checked);

class CDialog {
public:
    CDialog(UINT templateId, HWND parent) : m_templateId(templateId), m_hParent(parent) {}
    virtual ~CDialog();  // destroys a modeless window still open
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally with a message loop of our own (so PreTranslateMessage filters
    // keys); returns the EndDialog result, or -1 when the window could not be created.
    INT_PTR DoModal();
    // Creates the dialog modelessly; visible only if its resource style says so.
    bool Create(HWND parent);
    void EndDialog(INT_PTR result);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    bool UpdateData(bool save);

    // The dialog object of a window made by this layer, or null.
    static CDialog* FromHandle(HWND hwnd);
    // Gives a message to the dialog that owns its window before dispatching (modal loops).
    static bool PreTranslate(MSG* msg);

    static void SetInstance(HINSTANCE h) { s_hInstance = h; }
    static HINSTANCE Instance();

protected:
    // Overrides
    virtual const MessageMap* GetMessageMap() const;
    virtual void DoDataExchange(CDataExchange&) {}
    virtual BOOL OnInitDialog();  // exchanges members -> controls
    virtual BOOL PreTranslateMessage(MSG* msg);
    virtual void OnOK();       // exchange controls -> members, end with IDOK
    virtual void OnCancel();   // end with IDCANCEL (modeless: hide)

    // A handler calls Default() to leave the message to the dialog manager after it.
    void Default() { m_bDefault = true; }

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR Dispatch(UINT msg, WPARAM wp, LPARAM lp);

    static HINSTANCE s_hInstance;
    UINT m_templateId;
    HWND m_hParent;
    bool m_bModal = false;
    bool m_bEndModal = false;
    bool m_bDefault = false;
    INT_PTR m_nModalResult = -1;
};
