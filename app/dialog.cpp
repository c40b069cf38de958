#include "app/dialog.h"

INT_PTR CDialog::DoModal() {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_idTemplate), m_hWndParent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR*) { return FALSE; }

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        // The dialog object travels as WM_INITDIALOG's parameter, then as
        // the window's user data: integers that Win32 hands back.
        auto* dialog = reinterpret_cast<CDialog*>(lParam);  // NOLINT(performance-no-int-to-ptr)
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->m_hWnd = window;
        return dialog->OnInitDialog();
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        dialog->EndDialog(LOWORD(wParam));
        return TRUE;
    }
    INT_PTR result = 0;
    if (!dialog->OnMessage(message, wParam, lParam, &result)) return FALSE;
    // WM_QUERYDRAGICON's answer is the dialog procedure's own return value;
    // every other answer goes through DWLP_MSGRESULT.
    if (message == WM_QUERYDRAGICON) return result;
    SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
}
