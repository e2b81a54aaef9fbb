// Here the platform keeps no timer period to raise: a period is granted
// when the monotonic clock already resolves it, and refused otherwise.

#include "winmm.h"

#include <time.h>

static MMRESULT grant(UINT period)
{
    timespec res;
    if (period < 1 || period > 1000000 || clock_getres(CLOCK_MONOTONIC, &res) != 0)
        return TIMERR_NOCANDO;
    long long ns = res.tv_sec * 1000000000LL + res.tv_nsec;
    return ns <= period * 1000000LL ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

MMRESULT timeBeginPeriod(UINT period) { return grant(period); }
MMRESULT timeEndPeriod(UINT period) { return grant(period); }
