// A thin dialog layer over the Win32 dialog manager, in the manner of MFC's
// CDialog: a modal dialog object whose template is a resource, with virtual
// handlers for the messages the program's dialogs answer.
#pragma once

#include <windows.h>

class CDialog {
public:
    explicit CDialog(UINT idTemplate, HWND parent = nullptr) : m_idTemplate(idTemplate), m_hWndParent(parent) {}
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally; returns what EndDialog was given, or -1.
    INT_PTR DoModal();
    void EndDialog(int result) { ::EndDialog(m_hWnd, result); }

    HWND m_hWnd = nullptr;

protected:
    // Dialogs live on the stack and are never deleted through a CDialog
    // pointer: no virtual destructor, so no deleting destructor pulls the
    // library's operator delete into the program.
    ~CDialog() = default;

    virtual BOOL OnInitDialog() { return TRUE; }
    // The message map: answers a message and sets *result, or returns FALSE
    // to leave it to the dialog manager's default handling.
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_idTemplate;
    HWND m_hWndParent;
};
