// The run's boxes. user32 is loaded when a run first needs a box, and not
// at all by a quiet run; and no box is shown where no one could answer it.
#include "patch/boxes.h"
#include "patch/dllsearch.h"
#include "patch/functions.h"
#include "patch/report.h"
#include "patch/texts.h"

const char *OpenBoxes(Report &report, DWORD &error) {
  HMODULE user32 = LoadUser32();
  report.messageBox = ModuleFunction<MessageBoxFunction>(user32, "MessageBoxA");
  if (!report.messageBox) {
    error = LastErrorOr(ERROR_DLL_INIT_FAILED);
    report.quiet = true;
    return NoUser32Text;
  }
  // As Windows' own components ask it: the window station's flags.
  auto getStation =
      ModuleFunction<decltype(&GetProcessWindowStation)>(user32, "GetProcessWindowStation");
  auto getInformation =
      ModuleFunction<decltype(&GetUserObjectInformationA)>(user32, "GetUserObjectInformationA");
  HWINSTA station = getStation && getInformation ? getStation() : nullptr;
  USEROBJECTFLAGS flags = {FALSE, FALSE, WSF_VISIBLE};
  DWORD needed = 0;
  // A question that cannot be asked, or is not answered, leaves the boxes
  // to be seen, as they always were.
  if (station && getInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
      !(flags.dwFlags & WSF_VISIBLE)) {
    report.messageBox = nullptr;
    report.quiet = true;
    return NoStationText;
  }
  return nullptr;
}

void ShowBox(const Report &report, const char *text, const char *caption, UINT icon) {
  if (!report.quiet && report.messageBox) {
    report.messageBox(nullptr, text, caption, icon);
  }
}

void ShowWarning(const Report &report, const char *text) {
  ShowBox(report, text, WarningCaption, MB_ICONWARNING);
}
