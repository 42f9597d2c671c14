// The two Win32 calls a component makes, declared here instead of including the SDK's windows.h,
// which does not parse in every cross toolchain. Compiled only for Windows targets.
#ifndef ZEPH_WIN32_H
#define ZEPH_WIN32_H

#if defined(_WIN32)
extern "C" {
__declspec(dllimport) void __stdcall OutputDebugStringA(const char* text);
__declspec(dllimport) int __stdcall DisableThreadLibraryCalls(void* module);
}
#endif

#endif
