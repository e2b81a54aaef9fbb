// Here the platform keeps no timer period to raise: every request is granted.
// Nor has it a setting for how hidden programs' requests are treated.

#include "standin.h"

MMRESULT timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
MMRESULT timeEndPeriod(UINT) { return TIMERR_NOERROR; }
BOOL SetProcessInformation(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) { return 0; }
