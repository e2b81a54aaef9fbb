// timerhold: keep the system timer at a 1 ms period until a key is pressed.

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#else
#include "winmm.h"
#endif

constexpr UINT period = 1;  // milliseconds

int main(int, char**, char**)
{
    timeBeginPeriod(period);
    std::printf("Press any key to restore normal timer frequency.\n");
    std::getchar();  // a line on a console, end of input or an error: any of them ends the wait
    timeEndPeriod(period);
    return 0;
}
