// The GUI entry point. The program has no window and reports through message
// boxes (or, asked to be quiet, its exit code) only; it reads its command
// line itself, so the entry point ignores all four of its arguments and hands
// over to the patch.
#include "patch/sequence.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return ApplyPatch(); }
