#include "app/setup_app.h"

#include <mbctype.h>
#include <ole2.h>

#include "app/setup_dlg.h"
#include "platform/win32_log.h"
#include "platform/win32_platform.h"

// Constant-initialised, as every global object of the program: its entry
// point runs no static constructors.
SORVAN_CONSTINIT CSetupApp theApp;

namespace {

// The lock every running setup holds, named after the control's class. In
// the Global namespace a setup in another session counts too: a deployment
// running as SYSTEM, another signed-in user. The session's own namespace
// serves where the global one refuses a new object.
const wchar_t* const kSetupLockNames[] = {
    L"Global\\SORVanActiveXSetup.{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}",
    L"Local\\SORVanActiveXSetup.{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}",
};

// Takes the setup lock for the rest of the process's life, into `*lock`.
// False when another setup holds it.
bool TakeSetupLock(HANDLE* lock) {
    for (const wchar_t* name : kSetupLockNames) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
        const DWORD error = GetLastError();
        if (mutex != nullptr) {
            if (error != ERROR_ALREADY_EXISTS) {
                *lock = mutex;
                return true;
            }
            CloseHandle(mutex);
            return false;
        }
        // Denied: either the lock exists and belongs to an account whose
        // objects this one may not open in full (a setup running as SYSTEM),
        // or this account may not create objects in that namespace.
        if (error == ERROR_ACCESS_DENIED) {
            HANDLE existing = OpenMutexW(SYNCHRONIZE, FALSE, name);
            if (existing != nullptr) {
                CloseHandle(existing);
                return false;
            }
            if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        }
    }
    // No lock to be had at all (no handles left): better to install unguarded
    // than not at all.
    return true;
}

}  // namespace

BOOL CSetupApp::InitInstance() {
    // One setup at a time on the machine: two at once would each undo the
    // other's work. A second start changes nothing, shows nothing, and says
    // so with the code Windows Installer gives in the same case, on which
    // deployment tools retry.
    if (!TakeSetupLock(&m_hSetupLock)) {
        m_nExitCode = ERROR_INSTALL_ALREADY_RUNNING;
        return FALSE;
    }
    // ActiveX control containment: OLE on this thread, as regsvr32 gives a
    // control whose self-registration creates COM objects. Without it the
    // setup still runs; such a control then fails to register and is rolled
    // back.
    const HRESULT ole = OleInitialize(nullptr);

    CSetupDlg dlg;
    m_pMainWnd = &dlg;
    (void)dlg.DoModal();
    m_nExitCode = sorvan::ExitCodeFor(dlg.m_outcome);
    m_pMainWnd = nullptr;

    if (SUCCEEDED(ole)) OleUninitialize();
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
    // Every start is logged, a refused one too: the log is the one file a
    // start that changes nothing else may touch.
    platform::OpenSetupLog();
    platform::LogStartLine();
    theApp.InitInstance();
    platform::LogExitLine(theApp.m_nExitCode);
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
