// The product's names, defined once. The program includes this header and
// the release tool reads its #define lines (scripts/release.py, which gives
// them to the shell scripts too), so each name stays one string literal on
// one line.
#pragma once

// The control's class.
#define SORVAN_CONTROL_CLSID "{7D2A5C19-4E3B-4A8F-B6D1-0C9E8F7A2B35}"

// The four components, in the order every operation handles them: the
// control first, the uninstaller last.
#define SORVAN_COMPONENT_1 "LumeTransfer.ocx"
#define SORVAN_COMPONENT_2 "SorVan.dll"
#define SORVAN_COMPONENT_3 "SorVanWin32.dll"
#define SORVAN_COMPONENT_4 "SorVanUninstall.exe"

// The setup program.
#define SORVAN_SETUP_EXE "SORVanActiveXSetup.exe"

// What precedes the component digests in a release's program.
#define SORVAN_DIGESTS_MARKER "SORVan component digests, v1"
