// Here the platform keeps no timer period to raise: every request is granted.

#include "winmm.h"

MMRESULT timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
MMRESULT timeEndPeriod(UINT) { return TIMERR_NOERROR; }
