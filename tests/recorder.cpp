// The timer calls of the test build: each is written as a line to descriptor 3 (when the
// test has opened it) and answered with RECORDER_ANSWER (TIMERR_NOERROR when unset).

#include "winmm.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static MMRESULT record(const char* call, UINT period)
{
    char line[64];
    int n = std::snprintf(line, sizeof line, "%s(%u)\n", call, period);
    if (write(3, line, n) != n)
        return TIMERR_NOCANDO;  // descriptor 3 not opened: nothing to report to
    const char* answer = std::getenv("RECORDER_ANSWER");
    return answer ? std::strtoul(answer, nullptr, 10) : TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) { return record("timeBeginPeriod", period); }
MMRESULT timeEndPeriod(UINT period) { return record("timeEndPeriod", period); }
