// Last-error bookkeeping and the system's message texts.
#include "win32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

struct MessageText {
  DWORD code;
  const char *text;
};

// The texts Windows gives (US English) for the codes this layer and its
// callers produce. HRESULTs of the FACILITY_WIN32 kind share the Win32 text.
const MessageText message_texts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {50, "The request is not supported."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the system's memory image of the file is corrupted, or the file could not be recovered because the alternate copy or log was absent or corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write out, or flush, one of the files that contain the system's image of the registry."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1460, "This operation returned because the timeout period expired."},
    // HRESULTs (COM and OLE automation).
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80040110u, "Class does not support aggregation (or class object is remote)"},
    {0x80040111u, "ClassFactory cannot supply requested class"},
    {0x80040154u, "Class not registered"},
    {0x800401F0u, "CoInitialize has not been called."},
    {0x800401F3u, "Invalid class string"},
    {0x800401F8u, "DLL for class not found"},
    {0x800401F9u, "Error in the DLL"},
    {0x80010106u, "Cannot change thread mode after it is set."},
    {0x80020001u, "Unknown interface."},
    {0x80020003u, "Member not found."},
    {0x80020004u, "Parameter not found."},
    {0x80020005u, "Type mismatch."},
    {0x80020006u, "Unknown name."},
    {0x80020007u, "No named arguments."},
    {0x80020008u, "Bad variable type."},
    {0x80020009u, "Exception occurred."},
    {0x8002000Au, "Out of present range."},
    {0x8002000Eu, "Invalid number of parameters."},
    {0x80040064u, "Invalid FORMATETC structure"},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
    {0x80070057u, "The parameter is incorrect."},
};

const char *lookup_text(DWORD code) {
  for (const MessageText &m : message_texts)
    if (m.code == code) return m.text;
  // An HRESULT wrapping a Win32 code (FACILITY_WIN32) has the Win32 text.
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    DWORD win32 = code & 0xFFFFu;
    for (const MessageText &m : message_texts)
      if (m.code == win32) return m.text;
  }
  return nullptr;
}

}  // namespace

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

DWORD platform_error_from_errno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case EAGAIN: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EINTR: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD FormatMessageA(DWORD flags, const void *source, DWORD message_id,
                     DWORD language_id, char *buffer, DWORD size,
                     void *arguments) {
  (void)source;
  (void)language_id;  // every text is the US English one
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char *text = lookup_text(message_id);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::string out;
  for (const char *p = text; *p; ++p) {
    if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
      if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        out += *p;
        continue;
      }
      if (!(flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) || arguments == nullptr) {
        // Windows has no way to fill an insert without arguments.
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      const char *arg = static_cast<const char *const *>(arguments)[p[1] - '1'];
      out += arg ? arg : "";
      ++p;
      continue;
    }
    out += *p;
  }
  out += "\r\n";
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t bytes = out.size() + 1 > size ? out.size() + 1 : size;
    char *mem = static_cast<char *>(malloc(bytes));
    if (mem == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    memcpy(mem, out.c_str(), out.size() + 1);
    *reinterpret_cast<char **>(buffer) = mem;
  } else {
    if (out.size() + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    memcpy(buffer, out.c_str(), out.size() + 1);
  }
  return static_cast<DWORD>(out.size());
}

void *LocalFree(void *memory) {
  free(memory);
  return nullptr;
}

std::string platform_error_text(DWORD code) {
  char *text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<char *>(&text),
                           0, nullptr);
  if (n == 0) {
    char fallback[64];
    snprintf(fallback, sizeof fallback, "Unknown error 0x%08X", code);
    return fallback;
  }
  std::string s(text, n);
  LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}
