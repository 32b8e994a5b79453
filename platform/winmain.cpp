// The GUI entry point. The program has no window, takes no arguments and
// reports through message boxes only, so the entry point ignores all four of
// its arguments and hands over to the patch.
#include "patch/patch.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return ApplyPatch(); }
