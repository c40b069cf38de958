// An empty Windows program, built with the same compiler and runtime as the
// setup: the cost of starting a process and nothing else.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
