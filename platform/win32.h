// win32.h - the small Windows layer of this project's device side.
//
// capture_corvia, CorviaDLL and KestoSerial are written against a handful of
// Win32 and COM services. This header gives them those services on Linux,
// built on the system's own (dlopen, termios, pthreads, signals): exactly what
// the device side uses, with Win32's names, types, error codes and texts. It
// is not a general Windows emulation.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef void *HANDLE;
typedef struct HINSTANCE__ *HMODULE;
typedef HMODULE HINSTANCE;
typedef void (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---------------------------------------------------------------------------
// Errors: the calling thread's last error code and the system's texts.

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u

DWORD GetLastError(void);
void SetLastError(DWORD code);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
// Writes the system's text for `message_id` (as Windows words it, ending in
// "\r\n") into `buffer` of `size` bytes, or with ALLOCATE_BUFFER into a new
// buffer stored at *(char **)buffer and released with LocalFree. Returns the
// number of characters written, 0 on failure.
DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id,
                     DWORD language_id, char *buffer, DWORD size,
                     void *arguments);
void *LocalFree(void *memory);

// ---------------------------------------------------------------------------
// Run-time loading. A Windows library name such as "CorviaDLL.dll" maps to
// the shared library "libCorviaDLL.so", looked for next to the running
// executable, then on the system's library path; a name with a slash is
// taken as a path.

HMODULE LoadLibraryA(const char *name);
FARPROC GetProcAddress(HMODULE module, const char *proc_name);
BOOL FreeLibrary(HMODULE module);

// ---------------------------------------------------------------------------
// Time.

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
// The wall clock in 100-ns units since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME *ft);
DWORD GetTickCount(void);  // milliseconds, wrapping as a 32-bit count
void Sleep(DWORD milliseconds);

// ---------------------------------------------------------------------------
// Console control: Ctrl-C (SIGINT) and Ctrl-Break (SIGTERM here) are
// delivered to the handlers on a thread of their own, as Windows does.

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrl_type);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
