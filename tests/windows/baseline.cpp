// The smallest program that does what the patch does at the least: show one
// message box. The patch's size and start-up are measured against it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  MessageBoxA(nullptr, "Patch successful. You may now install the Quenlor audio driver", "",
              MB_ICONINFORMATION);
  return 0;
}
