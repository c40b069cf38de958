// The setup dialog, whose initialisation is the whole setup run, and the
// About box.
#pragma once

#include "app/dialog.h"
#include "engine/setup_engine.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};

class CSetupDlg : public CDialog {
public:
    explicit CSetupDlg(HWND parent = nullptr);

    // What the setup run reported, for the process's exit status.
    sorvan::SetupOutcome m_outcome = sorvan::SetupOutcome::NothingChanged;

protected:
    HICON m_hIcon;

    BOOL OnInitDialog() override;
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
};
