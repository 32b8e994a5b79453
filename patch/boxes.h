// The run's boxes: user32 loaded for them, and none where no one can see
// them.
#pragma once

#include "patch/report.h"

// Makes ready the boxes of a run that was not asked to be quiet: loads
// user32 and asks whether anyone can see the process's window station. A
// service's (Service-0x0-3e7$, where fleet engines start programs as
// SYSTEM) has no display, and a box there waits for an OK that no one can
// give. Where no one can see it, or user32 will not load, the run is
// quiet from here on, and its exit code tells the outcome; returns why
// then (and `error`, for user32), else null. Where the question cannot be
// asked (Windows 95 has no window stations), boxes are shown.
const char *OpenBoxes(Report &report, DWORD &error);
constexpr char NoStationText[] = "No box, and the exit code tells the outcome as with /quiet: no "
                                 "one can see this window station";
constexpr char NoUser32Text[] = "No box, and the exit code tells the outcome as with /quiet: "
                                "user32.dll could not be loaded";
// A box with no owner window, unless the run is quiet.
void ShowBox(const Report &report, const char *text, const char *caption, UINT icon);

// A "Debug" warning box.
void ShowWarning(const Report &report, const char *text);
