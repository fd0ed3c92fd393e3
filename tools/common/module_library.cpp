#include "module_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace duz::tools {

#if defined(_WIN32)

namespace {
std::string lastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n ? std::string(text, n) : std::string();
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out + " (error " + std::to_string(code) + ")";
}
}  // namespace

std::unique_ptr<ModuleLibrary> ModuleLibrary::load(const std::string& path, std::string& error) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (!handle) {
    error = lastErrorText();
    return nullptr;
  }
  return std::unique_ptr<ModuleLibrary>(new ModuleLibrary(handle));
}

void (*ModuleLibrary::address(const char* name))() {
  return reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

bool ModuleLibrary::unload(std::string& error) {
  if (!handle_) return true;
  const bool ok = FreeLibrary(static_cast<HMODULE>(handle_));
  if (!ok) error = lastErrorText();
  handle_ = nullptr;
  return ok;
}

#else

std::unique_ptr<ModuleLibrary> ModuleLibrary::load(const std::string& path, std::string& error) {
  // A bare file name means the file here, not one found on the library search path.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    error = reason ? reason : "unknown loader error";
    return nullptr;
  }
  return std::unique_ptr<ModuleLibrary>(new ModuleLibrary(handle));
}

void (*ModuleLibrary::address(const char* name))() {
  return reinterpret_cast<void (*)()>(dlsym(handle_, name));
}

bool ModuleLibrary::unload(std::string& error) {
  if (!handle_) return true;
  const bool ok = dlclose(handle_) == 0;
  if (!ok) {
    const char* reason = dlerror();
    error = reason ? reason : "unknown loader error";
  }
  handle_ = nullptr;
  return ok;
}

#endif

ModuleLibrary::~ModuleLibrary() {
  std::string ignored;
  unload(ignored);
}

}  // namespace duz::tools
