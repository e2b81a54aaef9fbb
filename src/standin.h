// The Windows calls timerhold makes, for hosts without them.

#pragma once

typedef unsigned int UINT, DWORD, ULONG;
typedef int BOOL;
typedef void *HANDLE, *LPVOID;
typedef UINT MMRESULT;

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;

enum PROCESS_INFORMATION_CLASS { ProcessPowerThrottling = 4 };
struct PROCESS_POWER_THROTTLING_STATE {
    ULONG Version, ControlMask, StateMask;
};
constexpr ULONG PROCESS_POWER_THROTTLING_CURRENT_VERSION = 1;
constexpr ULONG PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION = 0x4;

inline HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(-1); }

extern "C" {
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);
BOOL SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS kind, LPVOID information, DWORD size);
}
