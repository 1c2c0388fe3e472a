// Loading a library at run time on Windows: LoadLibrary and GetProcAddress.
#include "platform/platform_tools.h"

#include <windows.h>

namespace platform {
namespace {

class Win32Library : public DynamicLibrary {
public:
    explicit Win32Library(HMODULE module) : module_(module) {}
    ~Win32Library() override { FreeLibrary(module_); }
    void* Symbol(const std::string& name) override {
        return reinterpret_cast<void*>(GetProcAddress(module_, name.c_str()));
    }

private:
    HMODULE module_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    return std::make_unique<Win32Library>(module);
}

std::string DefaultLibraryFileName() { return "TermBridge.dll"; }

}  // namespace platform
