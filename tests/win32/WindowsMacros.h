#pragma once
// A guard against <windows.h> macros, force-included into every test program
// of the Windows build; the shipped code never sees it.

// GoogleTest pulls <windows.h> into every test, whose GetMessage and
// DispatchMessage macros would rename the message queue interface's methods
// in some files and not in others: include it first and drop the two.
#include <winsock2.h>
#include <windows.h>
#undef GetMessage
#undef DispatchMessage
