// Loading and unloading the module with the system's dynamic loader, as the host does.
#pragma once

#include <memory>
#include <string>

namespace duz::tools {

class ModuleLibrary {
 public:
  // Loads the library (its start-up runs inside); null with `error` set when it cannot be loaded.
  static std::unique_ptr<ModuleLibrary> load(const std::string& path, std::string& error);
  // Unloads it if unload() was not called.
  ~ModuleLibrary();
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;

  // An exported function by its undecorated name; null when the library has none.
  template <typename Fn>
  Fn function(const char* name) {
    return reinterpret_cast<Fn>(address(name));
  }

  // Unloads the library; false with `error` set when the loader refused.
  bool unload(std::string& error);

 private:
  explicit ModuleLibrary(void* handle) : handle_(handle) {}
  void (*address(const char* name))();
  void* handle_;
};

}  // namespace duz::tools
