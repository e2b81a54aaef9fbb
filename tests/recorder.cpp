// The Windows calls of the test build: each is written as a line to descriptor 3 (when the
// test has opened it) and answered with RECORDER_ANSWER (TIMERR_NOERROR when unset).

#include "standin.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static MMRESULT record(const char* line, int n)
{
    if (write(3, line, n) != n)
        return TIMERR_NOCANDO;  // descriptor 3 not opened: nothing to report to
    const char* answer = std::getenv("RECORDER_ANSWER");
    return answer ? std::strtoul(answer, nullptr, 10) : TIMERR_NOERROR;
}

static MMRESULT period(const char* call, UINT period)
{
    char line[64];
    return record(line, std::snprintf(line, sizeof line, "%s(%u)\n", call, period));
}

MMRESULT timeBeginPeriod(UINT p) { return period("timeBeginPeriod", p); }
MMRESULT timeEndPeriod(UINT p) { return period("timeEndPeriod", p); }

BOOL SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS kind, LPVOID information, DWORD size)
{
    auto state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
    char line[128];
    record(line, std::snprintf(line, sizeof line, "SetProcessInformation(%s, %d, {%u, %u, %u}, %u)\n",
                               process == GetCurrentProcess() ? "self" : "another", kind, state->Version,
                               state->ControlMask, state->StateMask, size));
    return 1;
}
