#include "app/setup_dlg.h"

#include "app/component_digests.h"

#include "platform/win32_platform.h"
#include "res/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

CSetupDlg::CSetupDlg(HWND parent)
    : CDialog(IDD_SETUP_DIALOG, parent), m_hIcon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

BOOL CSetupDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    // The About item joins the system menu only when its text loads.
    if (HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
        char aboutText[256] = {};
        if (LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, aboutText, sizeof aboutText) > 0 &&
            aboutText[0] != '\0') {
            AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, aboutText);
        }
    }
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // A release's program installs only the components it was made with.
    const sorvan::ComponentDigests* digests =
        g_componentDigests.present != 0 ? &g_componentDigests.digests : nullptr;
    m_outcome =
        sorvan::RunSetup(platform::SystemPlatform(), reinterpret_cast<platform::OwnerWindow>(m_hWnd), digests);

    // Ended inside its own initialisation: the dialog never becomes
    // interactive, and the modal loop does not run.
    EndDialog(IDCANCEL);
    return TRUE;
}

BOOL CSetupDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            return TRUE;
        case WM_PAINT:
            if (!IsIconic(m_hWnd)) return FALSE;
            OnPaint();
            return TRUE;
        case WM_QUERYDRAGICON:
            *result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
            return TRUE;
        default:
            return FALSE;
    }
}

void CSetupDlg::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    }
}

// Draws the icon in the middle of the minimised window.
void CSetupDlg::OnPaint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
}

HCURSOR CSetupDlg::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(m_hIcon); }
