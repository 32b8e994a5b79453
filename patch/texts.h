// What the run says and where it acts: the key it removes, the texts of
// its boxes and log, and its exit codes.
#pragma once

#include "platform/win32.h"

// Relative to HKEY_LOCAL_MACHINE; the walk opens it by its wide twin.
constexpr const char PatchKeyPath[] = "Software\\Crystal Semiconductor";
constexpr const WCHAR PatchKeyPathW[] = WIDE("Software\\Crystal Semiconductor");
constexpr const char MachineKeyName[] = "HKEY_LOCAL_MACHINE";

// What the user reads. The success box has an empty caption on purpose: a
// null caption would make Windows show its own default title instead.
constexpr const char VersionRefusedText[] = "This patch is for Windows XP only";
constexpr const char NotAdministratorText[] =
    "You must have administrator rights to apply this patch";
constexpr const char SuccessText[] =
    "Patch successful. You may now install the Quenlor audio driver";
constexpr const char FailureText[] = "Patch failed. Some registry keys could not be deleted";
constexpr const char ChildNotDeletedText[] = "Could not delete a child key";
constexpr const char ErrorCaption[] = "Error";
constexpr const char WarningCaption[] = "Debug";
constexpr const char SuccessCaption[] = "";
constexpr const char HelpCaption[] = "Quenlor audio driver pre-install patch";
constexpr const char UnknownArgumentText[] = "Unknown argument: ";
constexpr const char RepeatedArgumentText[] = "Given twice, so which file is meant is unclear: ";
// One switch or exit code a line, as Windows' own help boxes have them;
// no tabs, which a box's proportional font does not line up, and lines
// short enough for a box on a 640 by 480 screen.
constexpr const char UsageText[] = "Usage: quenlor-patch [switches]\n"
                                   "\n"
                                   "/quiet or /q: no boxes, only the exit code\n"
                                   "/log:<file>: append a record to <file>\n"
                                   "/backup:<file>: keep what is removed in <file>\n"
                                   "/restore:<file>: put back what <file> keeps\n"
                                   "/norestart: ignored\n"
                                   "/? or /help: this help\n"
                                   "\n"
                                   "Exit codes, with /quiet:\n"
                                   "0: the key is gone\n"
                                   "5: not an administrator\n"
                                   "50: not Windows XP, XP x64 or Server 2003\n"
                                   "1013: some keys could not be deleted or restored\n"
                                   "With or without /quiet:\n"
                                   "87: an argument was not understood\n"
                                   "29: the backup file could not be written\n"
                                   "13: the restore file was refused\n"
                                   "30: the restore file could not be read\n"
                                   "1622: the log file could not be opened";
constexpr const char LogFailedText[] = "Could not open the log file ";
constexpr const char RestoredText[] =
    "Restore successful. The registry keys that the patch removed are back";
constexpr const char RestoreFailedText[] = "Restore failed. Registry keys or values that could not "
                                           "be written: ";
constexpr const char RestoreRefusedText[] = "Could not restore from the backup file ";
constexpr const char RestoreNothingText[] = " Nothing was written.";
constexpr const char ConflictingArgumentText[] = "Cannot be given with /backup: ";
constexpr const char BackupFailedText[] = "Could not write the backup file ";
constexpr const char BackupCutShortText[] =
    "it ends in the middle of a record, as a run that was cut short leaves it. Look at the file "
    "before it is imported or used again.";
constexpr const char BackupOtherKindText[] =
    "it is not a file that /backup writes (it does not begin as one), so nothing is added to "
    "it. Name a new file, or one that an earlier run wrote.";
constexpr const char FileInUseText[] =
    "another program is using it and shares it with no one (another run of this patch given the "
    "same /backup file, for one). Give each run's backup a file of its own.";
constexpr const char BackupStoppedText[] =
    "No key was deleted after the failure; every key deleted before it is in the file.";

// Exit codes with /quiet, one for each outcome: Windows system error codes,
// so that `net helpmsg N` explains each on any Windows.
constexpr int ExitKeyGone = ERROR_SUCCESS;
constexpr int ExitWrongVersion = ERROR_NOT_SUPPORTED;     // 50, "not supported"
constexpr int ExitNotAdministrator = ERROR_ACCESS_DENIED; // 5
constexpr int ExitKeysLeft = ERROR_CANTWRITE; // 1013, "registry key could not be written"
constexpr int ExitUnknownArgument = ERROR_INVALID_PARAMETER; // 87, with or without /quiet
// 1622, what Windows Installer gives for a log it cannot open; with or
// without /quiet, as a caller that asked for a record must learn it has none.
constexpr int ExitLogFailed = ERROR_INSTALL_LOG_FAILURE;
// 29, "The system cannot write to the specified device": a caller that
// asked for a backup must learn that it has none, quiet or not.
constexpr int ExitBackupFailed = ERROR_WRITE_FAULT;
// 13, "The data is invalid": a /restore file that is not what /backup
// writes, or names a key outside the patch key; nothing is written.
constexpr int ExitRestoreInvalid = ERROR_INVALID_DATA;
// 30, "The system cannot read from the specified device": a /restore file
// that cannot be opened or read.
constexpr int ExitRestoreUnread = ERROR_READ_FAULT;
