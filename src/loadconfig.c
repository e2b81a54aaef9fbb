// The exe's load configuration, which the linker finds by this name.
// It tells Windows (10 version 1607 and later) to take the DLLs the exe
// imports from System32 only, never from the exe's own folder,
// where a planted winmm.dll would otherwise be loaded first.

#include <windows.h>

const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = {
#ifdef _WIN64
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY),
#else
    .Size = 64,  // the size every x86 Windows accepts, XP's included; it covers the field below
#endif
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32,  // DependentLoadFlags
};
