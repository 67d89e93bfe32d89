// The dialog layer: one dialog procedure for every dialog, which finds the dialog object through
// a window property and looks the message up in the object's table.
#include "app/win32/dialog.h"

namespace {
const wchar_t kDialogProp[] = L"Brisca.CDialog";

// The dialog this thread is creating: the only object a WM_INITDIALOG may attach to its window
// (the message's lParam is not trusted, since anyone can send that message).
thread_local CDialog* t_creating = nullptr;

HWND CreateFor(CDialog* dlg, UINT templateId, HWND parent, DLGPROC proc) {
    CDialog* const outer = t_creating;  // a dialog may create another while it starts
    t_creating = dlg;
    HWND hwnd = CreateDialogParamW(CDialog::Instance(), MAKEINTRESOURCEW(templateId), parent, proc, 0);
    t_creating = outer;
    return hwnd;
}

// Messages whose answer the dialog procedure returns directly instead of through DWLP_MSGRESULT.
bool AnswersDirectly(UINT msg) {
    return (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) || msg == WM_COMPAREITEM ||
           msg == WM_VKEYTOITEM || msg == WM_CHARTOITEM || msg == WM_QUERYDRAGICON ||
           msg == WM_INITDIALOG;
}
}  // namespace

HINSTANCE CDialog::s_hInstance = nullptr;

HINSTANCE CDialog::Instance() {
    if (!s_hInstance) s_hInstance = GetModuleHandleW(nullptr);
    return s_hInstance;
}

CDialog::~CDialog() {
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

const MessageMap* CDialog::GetMessageMap() const {
    static const MessageMap empty{nullptr, 0};
    return &empty;
}

CDialog* CDialog::FromHandle(HWND hwnd) {
    return hwnd ? static_cast<CDialog*>(GetPropW(hwnd, kDialogProp)) : nullptr;
}

bool CDialog::PreTranslate(MSG* msg) {
    if (!msg->hwnd) return false;
    CDialog* dlg = FromHandle(GetAncestor(msg->hwnd, GA_ROOT));
    return dlg && dlg->PreTranslateMessage(msg);
}

BOOL CDialog::PreTranslateMessage(MSG* msg) { return IsDialogMessageW(m_hWnd, msg); }

bool CDialog::Create(HWND parent) {
    if (m_hWnd) return false;
    m_hParent = parent;
    m_bModal = false;
    return CreateFor(this, m_templateId, parent, DialogProc) != nullptr;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd) return -1;
    m_bModal = true;
    m_bEndModal = false;
    m_nModalResult = -1;
    HWND owner = m_hParent;
    HWND hwnd = CreateFor(this, m_templateId, owner, DialogProc);
    if (!hwnd) {
        m_bModal = false;
        return -1;
    }
    const bool reenable = owner && IsWindowEnabled(owner);
    if (reenable) EnableWindow(owner, FALSE);
    if (!m_bEndModal && !IsWindowVisible(hwnd)) ShowWindow(hwnd, SW_SHOWNORMAL);

    MSG msg;
    while (!m_bEndModal) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT: end the loop and leave the quit for the outer one
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got == -1) break;
        if (!PreTranslate(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (reenable) {
        EnableWindow(owner, TRUE);
        SetActiveWindow(owner);
    }
    if (m_hWnd) DestroyWindow(m_hWnd);
    m_bModal = false;
    return m_nModalResult;
}

void CDialog::EndDialog(INT_PTR result) {
    if (!m_hWnd) return;
    if (!m_bModal) {
        ShowWindow(m_hWnd, SW_HIDE);
        return;
    }
    m_nModalResult = result;
    m_bEndModal = true;
    ShowWindow(m_hWnd, SW_HIDE);
    PostMessageW(m_hWnd, WM_NULL, 0, 0);  // lets GetMessage return so the loop sees the end
}

bool CDialog::UpdateData(bool save) {
    if (!m_hWnd) return false;
    CDataExchange dx{this, save};
    DoDataExchange(dx);
    return true;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(false);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialog* self;
    if (msg == WM_INITDIALOG) {
        // Sent once, by CreateDialogParam while this thread creates the dialog; any other is ignored.
        self = t_creating;
        if (!self || self->m_hWnd || FromHandle(hwnd)) return FALSE;
        t_creating = nullptr;
        self->m_hWnd = hwnd;
        SetPropW(hwnd, kDialogProp, self);
    } else {
        self = FromHandle(hwnd);
        if (!self) return FALSE;  // messages before WM_INITDIALOG
    }
    INT_PTR result = self->Dispatch(msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        RemovePropW(hwnd, kDialogProp);
        self->m_hWnd = nullptr;
        self->m_bEndModal = true;
    }
    return result;
}

INT_PTR CDialog::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) return OnInitDialog();

    const MessageMap* map = GetMessageMap();
    for (std::size_t i = 0; i < map->count; ++i) {
        const MessageMapEntry& e = map->entries[i];
        const UINT entryMsg = e.registered ? *e.registered : e.message;
        if (entryMsg == 0 || entryMsg != msg) continue;
        if (msg == WM_COMMAND && (LOWORD(wp) != e.id || HIWORD(wp) != e.code)) continue;
        m_bDefault = false;
        LRESULT r = (this->*e.handler)(wp, lp);
        if (m_bDefault) break;
        if (AnswersDirectly(msg)) return static_cast<INT_PTR>(r);
        if (m_hWnd) SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, r);
        return TRUE;
    }
    if (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED) {
        if (LOWORD(wp) == IDOK) {
            OnOK();
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
    }
    return FALSE;
}

void DDX_Control(CDataExchange& dx, int id, HWND& control) {
    control = dx.dlg->GetDlgItem(id);
}

void DDX_Text(CDataExchange& dx, int id, std::wstring& text) {
    HWND ctrl = dx.dlg->GetDlgItem(id);
    if (!ctrl) return;
    if (!dx.save) {
        SetWindowTextW(ctrl, text.c_str());
        return;
    }
    int len = GetWindowTextLengthW(ctrl);
    std::wstring value(static_cast<std::size_t>(len) + 1, L'\0');
    int got = GetWindowTextW(ctrl, value.data(), len + 1);
    value.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    text = std::move(value);
}

void DDX_Check(CDataExchange& dx, int id, int& checked) {
    HWND dlg = dx.dlg->GetSafeHwnd();
    if (dx.save)
        checked = IsDlgButtonChecked(dlg, id) == BST_CHECKED ? 1 : 0;
    else
        CheckDlgButton(dlg, id, checked ? BST_CHECKED : BST_UNCHECKED);
}
