// The two multimedia timer calls, for hosts without WINMM.

#pragma once

typedef unsigned int UINT;
typedef UINT MMRESULT;

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;

extern "C" {
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);
}
