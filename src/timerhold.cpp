// timerhold: ask Windows for a 1 ms timer period until Enter is pressed.

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#else
#include "standin.h"
#endif

constexpr UINT period = 1;  // milliseconds

// Windows 11 may ignore the timer request of a process whose window is
// minimized or covered, unless the process asks it to honour the request
// all the same. Windows before 8 has no SetProcessInformation, so it is
// looked up rather than imported; Windows 8 to 10 refuse the setting, which
// they do not need.
static void keep_request_while_hidden()
{
#ifdef _WIN32
    using Set = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    auto set = reinterpret_cast<Set>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetProcessInformation")));
#else
    auto set = SetProcessInformation;
#endif
    PROCESS_POWER_THROTTLING_STATE state = {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;  // this policy is ours to set...
    state.StateMask = 0;  // ...and is off: the request is never ignored
    if (set)
        set(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

int main(int, char**, char**)
{
    keep_request_while_hidden();
    timeBeginPeriod(period);
    printf("Press any key to restore normal timer frequency.\n");
    getchar();  // a line on a console, end of input or an error: any of them ends the wait
    timeEndPeriod(period);
    return 0;
}
