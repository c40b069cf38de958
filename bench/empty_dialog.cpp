// A program whose only window is a dialog that ends itself during its
// initialisation, as the setup's dialog does, and that does nothing else:
// the cost of starting a process with a window system, without the setup.
#include <windows.h>

namespace {

INT_PTR CALLBACK EndAtOnce(HWND window, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) return FALSE;
    EndDialog(window, IDCANCEL);
    return TRUE;
}

// An empty dialog template: no controls, no menu, default class and title.
struct Template {
    DLGTEMPLATE header;
    WORD menu, windowClass, title;
};
const Template kTemplate = {{DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 0, 0, 0, 0, 320, 200},
                            0, 0, 0};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    DialogBoxIndirectParamA(instance, &kTemplate.header, nullptr, EndAtOnce, 0);
    return 0;
}
