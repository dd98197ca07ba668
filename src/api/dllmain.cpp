// Load and unload routine of the Windows DLL. Every piece of library state
// is module-level and set up on first use or by ConvertFile, so there is
// nothing to do here but report success.
#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
