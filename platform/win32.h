// win32.h - the small Windows layer of this project's device side.
//
// capture_corvia, CorviaDLL and KestoSerial are written against a handful of
// Win32 and COM services. This header (with com.h, which it includes) gives
// them those services on Linux, built on the system's own (dlopen, termios,
// pthreads, signals): what the device side uses, with Win32's names, types,
// error codes and texts. It is not a general Windows emulation: no windows
// or GDI, no wide-character file API, no overlapped I/O, no out-of-process
// COM or marshalling, no type-library files.
//
// What is here: run-time loading, last error and message texts, time,
// console control, threads and waits, critical sections, interlocked
// operations, a message box on standard error, serial ports over termios
// (COM names resolved through a port map), a file-backed registry; in
// com.h the COM runtime for in-process servers, with IDispatch over member
// tables, the registrar and the component-categories manager.
//
// Where things live:
//   - libraries: "Name.dll" is "libName.so", looked for next to the running
//     executable and in ../lib beside it (case-insensitively), then on the
//     system's library path;
//   - the registry: the file named by the environment variable
//     CORVIA_REGISTRY_FILE, else $XDG_CONFIG_HOME/corvia/registry.txt, else
//     $HOME/.config/corvia/registry.txt;
//   - the COM port map: values of the key
//     HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, value name = the
//     device path, data = "COMn", as Windows lists its ports; enter and
//     remove entries with platform_portmap_set / platform_portmap_remove.
//
// Every program or shared library that links the layer has its own private
// copy (nothing of it is exported): handles (threads, ports,
// registry keys), the last error, apartments and the console handlers
// belong to the module that made them. Memory (BSTRs) is
// the C heap's and may be freed by any module. Functions that are not
// Win32's are named platform_...
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

// LONG and ULONG are 32 bits, as on Windows: use them where an interface
// says long (the platform's own long is 64 bits).
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef struct HINSTANCE__ *HMODULE;
typedef HMODULE HINSTANCE;
typedef void (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// ---------------------------------------------------------------------------
// Errors: the calling thread's last error code and the system's texts.

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BAD_PATHNAME 161u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_MORE_DATA 234u
#define WAIT_TIMEOUT 258u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_BADDB 1009u
#define ERROR_BADKEY 1010u
#define ERROR_CANTOPEN 1011u
#define ERROR_CANTREAD 1012u
#define ERROR_CANTWRITE 1013u
#define ERROR_REGISTRY_CORRUPT 1015u
#define ERROR_REGISTRY_IO_FAILED 1016u
#define ERROR_KEY_DELETED 1018u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_NOT_FOUND 1168u
#define ERROR_TIMEOUT 1460u
#define ERROR_CANT_RESOLVE_FILENAME 1921u

DWORD GetLastError(void);
void SetLastError(DWORD code);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
// Writes the system's text for `message_id` (a Win32 code or an HRESULT, as
// Windows words it in US English, ending in "\r\n") into `buffer` of `size`
// bytes, or with ALLOCATE_BUFFER into a new buffer stored at *(char **)buffer
// and released with LocalFree. Inserts (%1) are kept with IGNORE_INSERTS or
// filled from an ARGUMENT_ARRAY of strings. Returns the number of characters
// written, 0 on failure (ERROR_MR_MID_NOT_FOUND for an unknown code).
DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id,
                     DWORD language_id, char *buffer, DWORD size,
                     void *arguments);
void *LocalFree(void *memory);

// Not Win32: the text of `code` without the line end ("Unknown error 0x…"
// for a code without one), and the Win32 code for a system errno value.
std::string platform_error_text(DWORD code);
DWORD platform_error_from_errno(int err);

// ---------------------------------------------------------------------------
// Run-time loading. A Windows library name such as "CorviaDLL.dll" (or
// "CorviaDLL") maps to the shared library "libCorviaDLL.so", looked for in
// the running executable's folder (the folder of /proc/self/exe), then in
// the lib folder beside it (an installed PREFIX/bin finds PREFIX/lib; in
// both the case of the name does not matter, as on Windows), then by dlopen
// on the system's library path (LD_LIBRARY_PATH, the loader cache, /lib,
// /usr/lib).
// A name with a slash, or one ending in ".so", is taken as it is.
// Failures: ERROR_MOD_NOT_FOUND (126) for a missing library or a missing
// dependency of it, ERROR_BAD_EXE_FORMAT (193) for a file that is no shared
// library, ERROR_PROC_NOT_FOUND (127) for a missing export.

HMODULE LoadLibraryA(const char *name);
FARPROC GetProcAddress(HMODULE module, const char *proc_name);
BOOL FreeLibrary(HMODULE module);

// The handle of an already loaded library (null: the program), without a
// reference.
HMODULE GetModuleHandleA(const char *name);
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u
// With FROM_ADDRESS, `name` is an address inside the module wanted (a
// library finds its own handle from one of its functions).
BOOL GetModuleHandleExA(DWORD flags, const char *name, HMODULE *module);
// The full path of a loaded library (null: the program's executable).
DWORD GetModuleFileNameA(HMODULE module, char *filename, DWORD size);

// Not Win32: the file name a Windows library name maps to, and the folder
// of the running executable.
std::string platform_library_file_name(const char *name);
std::string platform_executable_folder(void);

// A library's load and unload: PLATFORM_DLL_MAIN(DllMain) in one source file
// of a shared library calls DllMain(its own handle, DLL_PROCESS_ATTACH, 0)
// when the library is loaded and DLL_PROCESS_DETACH when it is unloaded,
// from a constructor/destructor pair. It runs among the library's static
// constructors (in no fixed order with those of other source files), so it
// should not rely on the library's global objects.
#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define PLATFORM_DLL_MAIN(entry)                                              \
  __attribute__((constructor)) static void platform_dll_attach_(void) {       \
    HMODULE self = nullptr;                                                   \
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |               \
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,      \
                       reinterpret_cast<const char *>(&platform_dll_attach_), \
                       &self);                                                \
    entry(self, DLL_PROCESS_ATTACH, nullptr);                                 \
  }                                                                           \
  __attribute__((destructor)) static void platform_dll_detach_(void) {        \
    HMODULE self = nullptr;                                                   \
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |               \
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,      \
                       reinterpret_cast<const char *>(&platform_dll_detach_), \
                       &self);                                                \
    entry(self, DLL_PROCESS_DETACH, nullptr);                                 \
  }

// ---------------------------------------------------------------------------
// Time.

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
// The wall clock in 100-ns units since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME *ft);
// Milliseconds of the monotonic clock, wrapping as a 32-bit count.
DWORD GetTickCount(void);
// Sleeps at least `milliseconds` (signals do not cut it short); 0 yields,
// INFINITE never returns.
void Sleep(DWORD milliseconds);

// ---------------------------------------------------------------------------
// Console control: Ctrl-C (SIGINT) and Ctrl-Break (SIGTERM here) are
// delivered to the handlers on a dispatcher thread of their own, never in a
// signal handler; the handler added last runs first, and one returning TRUE
// ends the chain. When every handler returns FALSE the default action
// follows: the process ends as killed by that signal. Other signals keep
// their default actions. A null handler with add = TRUE makes the process
// ignore Ctrl-C (FALSE restores it).

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrl_type);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---------------------------------------------------------------------------
// Handles, threads and waits. A thread handle stays valid after the thread
// ends, until CloseHandle; closing the handle of a running thread leaves the
// thread running (a worker that did not end within its wait can be left).
// A thread counts as ended (its handle signalled) only once the thread is
// gone, not merely when its start
// routine returns: after a successful wait none of the module's code runs
// on it any more, so a shared library may be unloaded right after waiting
// for its threads. The waiter joins the thread; closing the handle of a
// thread nobody waited for detaches it.

typedef DWORD (*LPTHREAD_START_ROUTINE)(void *param);
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

HANDLE CreateThread(void *security, size_t stack_size, LPTHREAD_START_ROUTINE start,
                    void *param, DWORD flags, DWORD *thread_id);
// Threads (signalled when ended): WAIT_OBJECT_0, WAIT_TIMEOUT, or
// WAIT_FAILED for a handle that cannot be waited for.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Threads and serial ports.
BOOL CloseHandle(HANDLE handle);

// ---------------------------------------------------------------------------
// Critical sections (recursive, as on Windows) and interlocked operations
// (full barriers).

struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION *cs);
void DeleteCriticalSection(CRITICAL_SECTION *cs);
void EnterCriticalSection(CRITICAL_SECTION *cs);
void LeaveCriticalSection(CRITICAL_SECTION *cs);

// Each returns the value Windows returns: Exchange and CompareExchange the
// previous value, Increment and Decrement the new one.
inline LONG InterlockedExchange(volatile LONG *target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(volatile LONG *target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG *target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG *target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}

// ---------------------------------------------------------------------------
// Message boxes and the cursor. There is no desktop: a message box writes
// "CAPTION: TEXT" (caption "Error" when null) on standard error and returns
// IDOK; cursors are only remembered (SetCursor returns the previous one).

typedef struct HWND__ *HWND;
typedef struct HICON__ *HCURSOR;
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDC_ARROW (reinterpret_cast<const char *>(static_cast<uintptr_t>(32512)))
#define IDC_WAIT (reinterpret_cast<const char *>(static_cast<uintptr_t>(32514)))
int MessageBoxA(HWND window, const char *text, const char *caption, UINT type);
HCURSOR LoadCursorA(HINSTANCE instance, const char *name);
HCURSOR SetCursor(HCURSOR cursor);

// ---------------------------------------------------------------------------
// Serial ports. CreateFileA on "COMn" (or "\\.\COMn") opens the device that
// the port map gives for that name, else /dev/ttyS<n-1>; any other name is
// a path. The port is put in raw mode (8N1, no flow control, no echo or
// line editing). Reads and writes are synchronous and follow the
// COMMTIMEOUTS rules of Windows. Failures set Win32's codes: a missing port
// ERROR_FILE_NOT_FOUND, a port in use ERROR_ACCESS_DENIED, a port whose
// other end has gone (a pseudo-terminal's master closed, a USB adapter
// pulled) ERROR_BAD_COMMAND, a file that is not a terminal
// ERROR_INVALID_FUNCTION for the comm calls.

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define MAXDWORD 0xFFFFFFFFu

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;   // bytes received and not yet read
  DWORD cbOutQue;  // bytes written and not yet sent
};
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u
#define CE_TXFULL 0x0100u
#define CE_MODE 0x8000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

// Share mode 0 opens the port for exclusive use.
HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
// Only remembers the sizes asked for: the kernel's queues have a fixed size
// (a terminal's input queue holds about 4 KiB), so a reader must drain the
// port at least that often, whatever was asked for here.
BOOL SetupComm(HANDLE file, DWORD in_queue, DWORD out_queue);
// Baud rates 110 to 1000000 of the standard list, 5 to 8 data bits, the
// parities, 1, 1.5 (5 bits only) or 2 stop bits, CTS/RTS and XON/XOFF flow
// control; the other fields are kept and handed back by GetCommState.
BOOL GetCommState(HANDLE file, DCB *dcb);
BOOL SetCommState(HANDLE file, DCB *dcb);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts);
// cbInQue: the bytes waiting in the input queue. Line errors are not
// reported (*errors is 0).
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat);
BOOL ClearCommBreak(HANDLE file);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL ReadFile(HANDLE file, void *buffer, DWORD to_read, DWORD *read_count, void *overlapped);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD to_write, DWORD *written,
               void *overlapped);

// Not Win32: the device path a port name opens.
std::string platform_comm_device_path(const char *name);

// The port map (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM): for a
// simulated front end or a USB-serial adapter, enter or remove the device
// behind a COM name. set replaces an earlier entry of the same COM name;
// lookup gives "" when the name has no entry. Results are Win32 codes.
LONG platform_portmap_set(const char *com_name, const char *device_path);
LONG platform_portmap_remove(const char *com_name);
std::string platform_portmap_lookup(const char *com_name);

// ---------------------------------------------------------------------------
// The registry: HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER,
// kept in one file per user: the file named by CORVIA_REGISTRY_FILE, else
// $XDG_CONFIG_HOME/corvia/registry.txt, else ~/.config/corvia/registry.txt
// (tests point CORVIA_REGISTRY_FILE at a fresh file). Every call reads the
// file under a lock, and a change is written whole to a temporary file and
// renamed over it, so a crash or two processes registering at once never
// corrupt it. Key and value names are matched without regard to case;
// enumeration is in alphabetical order. Results are Win32 codes
// (ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_MORE_DATA for a
// short buffer with the size needed written back, ERROR_KEY_DELETED for an
// open key deleted meanwhile, ERROR_REGISTRY_CORRUPT for a damaged file,
// which is left as it is and named on standard error).

typedef struct HKEY__ *HKEY;
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

LONG RegCreateKeyExA(HKEY key, const char *subkey, DWORD reserved, char *klass, DWORD options,
                     DWORD sam, void *security, HKEY *result, DWORD *disposition);
LONG RegOpenKeyExA(HKEY key, const char *subkey, DWORD options, DWORD sam, HKEY *result);
LONG RegCloseKey(HKEY key);
// A null or empty name is the key's default value.
LONG RegSetValueExA(HKEY key, const char *name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD size);
// Null data: only the size is written.
LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, BYTE *data,
                      DWORD *size);
// *name_size: the buffer's size in, the name's length (without the NUL) out.
LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved,
                   char *klass, DWORD *class_size, FILETIME *last_write);
LONG RegEnumValueA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved,
                   DWORD *type, BYTE *data, DWORD *data_size);
LONG RegDeleteValueA(HKEY key, const char *name);
// Only a key without subkeys (else ERROR_ACCESS_DENIED).
LONG RegDeleteKeyA(HKEY key, const char *subkey);
// The key with everything below it; a null subkey empties `key` itself.
LONG RegDeleteTreeA(HKEY key, const char *subkey);

// Not Win32: the path of the registry file in use.
std::string platform_registry_file(void);

#include "com.h"
