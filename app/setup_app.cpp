#include "app/setup_app.h"

#include <mbctype.h>

#include "app/setup_dlg.h"
#include "platform/win32_platform.h"

// Constant-initialised, as every global object of the program: its entry
// point runs no static constructors.
SORVAN_CONSTINIT CSetupApp theApp;

BOOL CSetupApp::InitInstance() {
    CSetupDlg dlg;
    m_pMainWnd = &dlg;
    (void)dlg.DoModal();
    m_nExitCode = sorvan::ExitCodeFor(dlg.m_outcome);
    m_pMainWnd = nullptr;
    return FALSE;
}

namespace {

// A setup program is started from a download folder, where anyone may have
// left a DLL with a system name. Libraries loaded from here on are looked up
// in the system folder only, never in the program's own or the current folder.
void RestrictLibrarySearch() {
    SetDllDirectoryA("");
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto setDefaultDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDirectories != nullptr) setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictLibrarySearch();
    // Multibyte text is read in the system's ANSI code page.
    _setmbcp(_MB_CP_ANSI);
    theApp.InitInstance();
    return theApp.m_nExitCode;
}

// The process's entry point, in place of the C runtime's start-up code: the
// program takes no arguments, has no static constructors to run and no
// thread-local data, and msvcrt.dll initialises itself when it is loaded.
// The process ends here, with the setup's status, without a message loop.
// Windows starts it on a stack aligned to 4 bytes; the compiler's code may
// assume 16, so the entry realigns it.
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT)));
}
