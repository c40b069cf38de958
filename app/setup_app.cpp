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

// The lock every running setup holds: a file in the system folder, opened
// with no sharing and deleted when its last handle closes. Only
// administrators can make a file there, so no other account or unelevated
// program can hold the lock and keep the setup from ever running; a setup
// that crashes leaves none behind, since the system closes its handles. It
// covers every session, a SYSTEM deployment's included.
constexpr char kSetupLockName[] = "\\SORVanActiveXSetup.lock";

// Takes the setup lock for the rest of the process's life, into `*lock`.
// False when another setup holds it. A start without administrator rights
// cannot take it and goes on unguarded: it can change nothing either, and
// it must still reach its access-denied message.
bool TakeSetupLock(HANDLE* lock) {
    // The system folder has at most MAX_PATH characters; the lock's name and
    // its NUL fit after them.
    char path[MAX_PATH + 1 + sizeof kSetupLockName] = {};
    if (!platform::SystemFilePath(path, sizeof path, kSetupLockName)) return true;
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        *lock = file;
        return true;
    }
    return GetLastError() != ERROR_SHARING_VIOLATION;
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
    // The setup runs inside the dialog's initialisation: a dialog that could
    // not be made (the desktop cannot be reached) ran nothing and changed
    // nothing, and its outcome stays "nothing changed".
    if (dlg.DoModal() == -1) platform::LogStep(GetLastError(), "make the setup window");
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
    // WinMain reads none of its arguments: the program takes none.
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT)));
}
