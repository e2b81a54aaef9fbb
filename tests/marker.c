// A winmm.dll to plant beside an exe: loaded, it leaves a file named "loaded"
// beside itself; it answers the exe's timer calls as granted.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE dll, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(dll, path, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && length > 9 && length < MAX_PATH) {
        lstrcpyA(path + length - 9, "loaded");  // in place of "winmm.dll"
        CloseHandle(CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    }
    return TRUE;
}

__declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT period) { return period * 0; }
__declspec(dllexport) UINT WINAPI timeEndPeriod(UINT period) { return period * 0; }
