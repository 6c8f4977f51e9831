// CFzLibrary.
#include "nuvdbsnap/platform/base/library.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>

namespace {
std::string DlError() {
    char const* e = dlerror();
    return e ? e : "unknown dynamic loader error";
}
}  // namespace

CFzLibrary::~CFzLibrary() {
    if (m_handle != nullptr && m_unloadOnDestroy) dlclose(m_handle);
}

CFzError CFzLibrary::Load(std::string const& path, bool bindNow) {
    if (path.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty library path");
    if (m_handle != nullptr && m_unloadOnDestroy) dlclose(m_handle);
    m_handle = nullptr;
    dlerror();
    void* handle = dlopen(path.c_str(), (bindNow ? RTLD_NOW : RTLD_LAZY) | RTLD_LOCAL);
    if (handle == nullptr) {
        char const* raw = dlerror();
        m_loaderText = raw ? raw : "";
        std::string text = raw ? raw : "unknown dynamic loader error";
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "Cannot load library [%s]: %s", path.c_str(), text.c_str());
    }
    m_handle = handle;
    m_path = path;
    return CFzError::Success();
}

CFzError CFzLibrary::GetAddress(std::string const& name, void*& address) {
    address = nullptr;
    if (m_handle == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBADF, "No library loaded to look up [%s]", name.c_str());
    dlerror();
    void* p = dlsym(m_handle, name.c_str());
    char const* err = dlerror();
    if (err != nullptr || p == nullptr) {
        m_loaderText = err ? err : "";
        std::string text = err ? err : "symbol is null";
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "Symbol [%s] not found in [%s]: %s", name.c_str(),
                                       m_path.c_str(), text.c_str());
    }
    address = p;
    return CFzError::Success();
}

std::string CFzLibrary::DirectoryOf(void const* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
    std::string path = info.dli_fname;
    if (path.find('/') == std::string::npos) return std::string();
    char* real = realpath(path.c_str(), nullptr);
    if (real != nullptr) {
        path = real;
        free(real);
    }
    std::string::size_type slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

CFzError CFzLibrary::Unload() {
    if (m_handle == nullptr) return CFzError::Success();
    void* handle = m_handle;
    m_handle = nullptr;
    dlerror();
    if (dlclose(handle) != 0) {
        std::string text = DlError();
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Cannot unload [%s]: %s", m_path.c_str(), text.c_str());
    }
    return CFzError::Success();
}
