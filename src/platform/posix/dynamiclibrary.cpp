// Loading a library at run time on POSIX: dlopen and dlsym.
#include "platform/platform_tools.h"

#include <dlfcn.h>

namespace platform {
namespace {

class PosixLibrary : public DynamicLibrary {
public:
    explicit PosixLibrary(void* handle) : handle_(handle) {}
    ~PosixLibrary() override { ::dlclose(handle_); }
    void* Symbol(const std::string& name) override { return ::dlsym(handle_, name.c_str()); }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<DynamicLibrary> LoadDynamicLibrary(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        error = reason != nullptr ? reason : "dlopen failed";
        return nullptr;
    }
    return std::make_unique<PosixLibrary>(handle);
}

std::string DefaultLibraryFileName() { return "libTermBridge.so"; }

}  // namespace platform
