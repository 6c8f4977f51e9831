// CFzLibrary: a dynamic library opened with dlopen. Errors carry dlerror's text.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>

class CFzLibrary {
public:
    // unloadOnDestroy false: the library stays loaded for the life of the process
    // (the destructor never closes it).
    explicit CFzLibrary(bool unloadOnDestroy = true) : m_unloadOnDestroy(unloadOnDestroy) {}
    CFzLibrary(CFzLibrary const&) = delete;
    CFzLibrary& operator=(CFzLibrary const&) = delete;
    ~CFzLibrary();

    // bindNow: resolve every symbol at load (RTLD_NOW), else lazily. Always RTLD_LOCAL.
    // A library already held by this object is unloaded first (when unloadOnDestroy).
    [[nodiscard]] CFzError Load(std::string const& path, bool bindNow);
    [[nodiscard]] CFzError GetAddress(std::string const& name, void*& address);
    [[nodiscard]] CFzError Unload();
    // The directory of the loaded object (program or library) that holds
    // `address`; "" when the loader does not know it.
    static std::string DirectoryOf(void const* address);

    bool IsLoaded() const { return m_handle != nullptr; }
    // The dynamic loader's own text of the last failed Load or GetAddress ("" when it gave none).
    std::string const& LoaderText() const { return m_loaderText; }
    std::string const& Path() const { return m_path; }

private:
    void* m_handle = nullptr;
    std::string m_path;
    std::string m_loaderText;
    bool m_unloadOnDestroy = true;
};
