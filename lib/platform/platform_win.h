// What the Windows bodies of the seams share; included by *_win.cpp files
// only. A FileDescriptor there is a C runtime descriptor that owns a
// Windows handle, so that the shared code keeps one integer type for both
// platforms and descriptors 0, 1 and 2 are the standard streams on both.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace dravik::win {

// Converts UTF-8 to UTF-16. False for anything that is not valid UTF-8:
// overlong forms, surrogates, values past U+10FFFF, stray or cut sequences.
// No code page is ever guessed.
bool utf8_to_wide(const char* text, std::wstring* out);
// The UTF-8 form of UTF-16 text (an unpaired surrogate becomes U+FFFD).
std::string wide_to_utf8(const wchar_t* text, std::size_t length);

// The errno value closest to a Windows error code or an NTSTATUS.
int errno_from_win32(DWORD error);
int errno_from_status(long status);

// Takes ownership of `handle` as a C runtime descriptor; -1 (handle closed,
// errno set) when the runtime has no descriptor left.
int descriptor_from_handle(HANDLE handle);
HANDLE handle_of(int descriptor);

}  // namespace dravik::win
