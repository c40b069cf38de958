// The application object: one per process, whose InitInstance runs the setup
// dialog once and then lets the process end without a message loop.
#pragma once

#include <windows.h>

class CDialog;

class CSetupApp {
public:
    CSetupApp() = default;

    // Runs the setup dialog unless another setup is running; always FALSE,
    // so no message loop follows.
    BOOL InitInstance();

    CDialog* m_pMainWnd = nullptr;
    // 0 after a successful installation, 1603 after a failed one, 1618 when
    // another setup was running.
    int m_nExitCode = 0;
    // The setup lock, held until the process ends.
    HANDLE m_hSetupLock = nullptr;
};

extern CSetupApp theApp;
