// The program's dialog shell with its own resources, and the setup run
// replaced by a probe that looks at the setup dialog from inside its
// initialisation, where the real run happens:
//   - the dialog is not visible yet, so the user never gets to interact;
//   - its big and small icons are the program's icon;
//   - the system menu ends with a separator and the About item exactly when
//     the About text (string 101) is in the resources;
//   - the About command opens the About box (dismissed here by a watcher);
//   - the dialog answers WM_QUERYDRAGICON with its icon;
// and, after DoModal: the dialog ended with IDCANCEL and its window is gone.
//
//   shell_test.exe          built with the program's full resources
//   shell_test_noabout.exe  built without the About text
// Exit status: the number of failed checks.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "app/setup_dlg.h"
#include "res/resource.h"

namespace {

int g_failures = 0;

void Check(bool condition, int line, const char* what) {
    if (condition) return;
    ++g_failures;
    std::printf("    shell_test line %d: %s\n", line, what);
    std::fflush(stdout);
}
#define CHECK(condition) Check((condition), __LINE__, #condition)

#ifdef SORVAN_WITHOUT_ABOUT_TEXT
constexpr bool kAboutTextInResources = false;
#else
constexpr bool kAboutTextInResources = true;
#endif

HWND g_dialog = nullptr;
volatile LONG g_aboutSeen = 0;

// Closes the About box as a user would, and notes that it was there.
DWORD WINAPI CloseAboutBox(void*) {
    // Two minutes at most: under emulation a window can take long to appear.
    for (int tries = 0; tries < 12000; ++tries) {
        HWND about = FindWindowA("#32770", "About SORVanActiveXSetup");
        if (about != nullptr) {
            InterlockedExchange(&g_aboutSeen, 1);
            PostMessageA(about, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(10);
    }
    return 1;
}

void ProbeSystemMenu(HWND dialog) {
    HMENU menu = GetSystemMenu(dialog, FALSE);
    CHECK(menu != nullptr);
    if (menu == nullptr) return;
    const int count = GetMenuItemCount(menu);
    CHECK(count >= 2);
    if (count < 2) return;
    char text[128] = {};
    GetMenuStringA(menu, IDM_ABOUTBOX, text, sizeof text - 1, MF_BYCOMMAND);
    const bool lastIsAbout = GetMenuItemID(menu, count - 1) == IDM_ABOUTBOX;
    const bool beforeIsSeparator = (GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR) != 0;
    const bool lastIsSeparator = (GetMenuState(menu, static_cast<UINT>(count - 1), MF_BYPOSITION) & MF_SEPARATOR) != 0;
    if (kAboutTextInResources) {
        CHECK(lastIsAbout);
        CHECK(beforeIsSeparator);
        CHECK(std::strcmp(text, "&About SORVanActiveXSetup...") == 0);
    } else {
        CHECK(!lastIsAbout);
        CHECK(!lastIsSeparator);
        CHECK(text[0] == '\0');
    }
}

}  // namespace

// The setup run, replaced: it is called from the dialog's initialisation with
// the dialog as owner.
namespace sorvan {
SetupOutcome RunSetup(Platform&, OwnerWindow owner, const ComponentDigests*) {
    HWND dialog = reinterpret_cast<HWND>(owner);
    g_dialog = dialog;
    CHECK(IsWindow(dialog));
    CHECK(!IsWindowVisible(dialog));

    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    CHECK(icon != nullptr);
    CHECK(reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0)) == icon);
    CHECK(reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0)) == icon);
    CHECK(reinterpret_cast<HICON>(SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0)) == icon);

    ProbeSystemMenu(dialog);

    // The About command opens the About box, modal, until it is closed.
    HANDLE closer = CreateThread(nullptr, 0, CloseAboutBox, nullptr, 0, nullptr);
    SendMessageA(dialog, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    CHECK(g_aboutSeen == 1);
    if (closer != nullptr) {
        WaitForSingleObject(closer, 150000);
        CloseHandle(closer);
    }
    return SetupOutcome::Installed;
}
}  // namespace sorvan

int main() {
    CSetupDlg dialog;
    const INT_PTR result = dialog.DoModal();
    CHECK(result == IDCANCEL);
    CHECK(g_dialog != nullptr);
    CHECK(!IsWindow(g_dialog));
    CHECK(dialog.m_outcome == sorvan::SetupOutcome::Installed);
    std::printf("shell_test%s: %d failed checks\n", kAboutTextInResources ? "" : " (without the About text)",
                g_failures);
    return g_failures;
}
