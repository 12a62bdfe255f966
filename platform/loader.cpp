// Run-time loading of shared libraries by their Windows names.
#include "win32.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool ends_with_nocase(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool is_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Windows matches file names without regard to case; so does the search in
// the executable's folder ("Kestoserial.dll" finds libKestoSerial.so).
std::string find_in_folder(const std::string &folder, const std::string &file) {
  std::string exact = folder + "/" + file;
  if (is_file(exact)) return exact;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return "";
  std::string found;
  while (struct dirent *e = readdir(dir)) {
    if (strcasecmp(e->d_name, file.c_str()) == 0) {
      std::string candidate = folder + "/" + e->d_name;
      if (is_file(candidate)) {
        found = candidate;
        break;
      }
    }
  }
  closedir(dir);
  return found;
}

DWORD error_for_failed_dlopen(const std::string &path) {
  const char *why = dlerror();
  // dlerror names the file it could not find: the library itself or one of
  // its dependencies; Windows reports both as a missing module. A file that
  // is there but is no loadable library is a bad executable format.
  if (why != nullptr && (strstr(why, "invalid ELF header") != nullptr ||
                         strstr(why, "wrong ELF class") != nullptr ||
                         strstr(why, "file too short") != nullptr))
    return ERROR_BAD_EXE_FORMAT;
  if (!path.empty() && access(path.c_str(), R_OK) != 0 && errno == EACCES)
    return ERROR_ACCESS_DENIED;
  return ERROR_MOD_NOT_FOUND;
}

}  // namespace

std::string platform_library_file_name(const char *name) {
  std::string s(name);
  if (s.find('/') != std::string::npos || ends_with_nocase(s, ".so") ||
      s.find(".so.") != std::string::npos)
    return s;
  if (ends_with_nocase(s, ".dll")) s.resize(s.size() - 4);
  else if (!s.empty() && s.back() == '.') s.pop_back();  // "name." : no suffix
  return "lib" + s + ".so";
}

namespace {
// A library beside the program: in its folder, then in the lib folder of an
// installed prefix (PREFIX/bin/program finds PREFIX/lib/libX.so), the name
// matched without regard to case in both. "" when neither has it.
std::string find_beside_executable(const std::string &file) {
  const std::string folder = platform_executable_folder();
  std::string path = find_in_folder(folder, file);
  if (path.empty()) path = find_in_folder(folder + "/../lib", file);
  return path;
}
}  // namespace

std::string platform_executable_folder(void) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  char *slash = strrchr(path, '/');
  if (slash == nullptr) return "";
  if (slash == path) return "/";
  *slash = '\0';
  return path;
}

HMODULE LoadLibraryA(const char *name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = platform_library_file_name(name);
  std::string path;
  if (file.find('/') != std::string::npos) {
    path = file;
  } else {
    path = find_beside_executable(file);
    if (path.empty()) path = file;  // dlopen searches the library path
  }
  dlerror();
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(error_for_failed_dlopen(path.find('/') != std::string::npos ? path : ""));
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, const char *proc_name) {
  if (module == nullptr || proc_name == nullptr) {
    SetLastError(module == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  dlerror();
  void *sym = dlsym(module, proc_name);
  if (sym == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC proc;
  static_assert(sizeof proc == sizeof sym, "function and data pointers differ");
  memcpy(&proc, &sym, sizeof proc);
  return proc;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HMODULE GetModuleHandleA(const char *name) {
  if (name == nullptr) return static_cast<HMODULE>(dlopen(nullptr, RTLD_NOW | RTLD_NOLOAD));
  std::string file = platform_library_file_name(name);
  std::string path = file;
  if (file.find('/') == std::string::npos) {
    std::string local = find_beside_executable(file);
    if (!local.empty()) path = local;
  }
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Windows hands out the handle without taking a reference.
  dlclose(handle);
  return static_cast<HMODULE>(handle);
}

BOOL GetModuleHandleExA(DWORD flags, const char *name, HMODULE *module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info;
    struct link_map *map = nullptr;
    if (dladdr1(name, &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    // glibc's dlopen handle is the library's link map.
    *module = reinterpret_cast<HMODULE>(map);
  } else {
    *module = GetModuleHandleA(name);
    if (*module == nullptr) return FALSE;
  }
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
    // Take a reference, as Windows does without UNCHANGED_REFCOUNT.
    struct link_map *map = reinterpret_cast<struct link_map *>(*module);
    const char *file = (map->l_name && *map->l_name) ? map->l_name : nullptr;
    if (file != nullptr) dlopen(file, RTLD_NOW | RTLD_NOLOAD);
  }
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, char *filename, DWORD size) {
  std::string path;
  struct link_map *map = nullptr;
  if (module != nullptr && dlinfo(module, RTLD_DI_LINKMAP, &map) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (module == nullptr || map == nullptr || map->l_name == nullptr ||
      map->l_name[0] == '\0') {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
      SetLastError(platform_error_from_errno(errno));
      return 0;
    }
    path.assign(buf, static_cast<size_t>(n));
  } else {
    char *real = realpath(map->l_name, nullptr);
    path = real ? real : map->l_name;
    free(real);
  }
  if (filename == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    // Windows truncates, terminates and reports the short buffer.
    memcpy(filename, path.data(), size - 1);
    filename[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(filename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}
