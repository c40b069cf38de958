// The application object: one per process, whose InitInstance runs the setup
// dialog once and then lets the process end without a message loop.
#pragma once

#include <windows.h>

class CDialog;

class CSetupApp {
public:
    CSetupApp() = default;

    // Runs the setup dialog; always FALSE, so no message loop follows.
    BOOL InitInstance();

    CDialog* m_pMainWnd = nullptr;
    // 0 after a successful installation, 1603 after a failed one.
    int m_nExitCode = 0;
};

extern CSetupApp theApp;
