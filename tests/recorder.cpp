// The Windows calls of the test build: each is written as a line to descriptor 3 (when the
// test has opened it) and answered with RECORDER_ANSWER (TIMERR_NOERROR when unset).

#include "standin.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

template <typename... Values> static MMRESULT record(const char* format, Values... values)
{
    char line[128];
    int n = std::snprintf(line, sizeof line, format, values...);
    if (write(3, line, n) != n)
        return TIMERR_NOCANDO;  // descriptor 3 not opened: nothing to report to
    const char* answer = std::getenv("RECORDER_ANSWER");
    return answer ? std::strtoul(answer, nullptr, 10) : TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) { return record("timeBeginPeriod(%u)\n", period); }
MMRESULT timeEndPeriod(UINT period) { return record("timeEndPeriod(%u)\n", period); }

BOOL SetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS kind, LPVOID information, DWORD size)
{
    auto state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
    record("SetProcessInformation(%s, %d, {%u, %u, %u}, %u)\n", process == GetCurrentProcess() ? "self" : "another",
           kind, state->Version, state->ControlMask, state->StateMask, size);
    return 1;
}
