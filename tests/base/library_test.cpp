// Dynamic libraries.
#include "nuvdbsnap/platform/base/library.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

namespace {

// A library of the system that this program has not loaded, or "" when none.
std::string UnloadedLibrary() {
    for (char const* name : {"libz.so.1", "libbz2.so.1.0", "liblzma.so.5", "libexpat.so.1", "libzstd.so.1"}) {
        if (dlopen(name, RTLD_LAZY | RTLD_NOLOAD) != nullptr) continue;  // already in the process
        void* probe = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
        if (probe == nullptr) continue;
        dlclose(probe);
        if (dlopen(name, RTLD_LAZY | RTLD_NOLOAD) == nullptr) return name;  // it does unload
    }
    return "";
}

bool Loaded(std::string const& name) {
    void* h = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h == nullptr) return false;
    dlclose(h);  // drop the reference that NOLOAD took
    return true;
}

TEST(CFzLibraryTest, KeepsTheLibraryLoadedOnlyWhenAskedTo) {
    std::string name = UnloadedLibrary();
    if (name.empty()) GTEST_SKIP() << "no unloadable system library to try";
    {
        CFzLibrary unloading(true);
        ASSERT_FALSE(unloading.Load(name, true).IsError());
        EXPECT_TRUE(Loaded(name));
    }
    EXPECT_FALSE(Loaded(name));
    {
        CFzLibrary kept(false);
        ASSERT_FALSE(kept.Load(name, true).IsError());
    }
    EXPECT_TRUE(Loaded(name));  // never unloaded on destruction
}

TEST(CFzLibraryTest, FailuresCarryTheLoadersText) {
    CFzLibrary lib;
    CFzError e = lib.Load("/nonexistent/libJzBlkLvl.so", true);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("/nonexistent/libJzBlkLvl.so"), std::string::npos);
    EXPECT_NE(e.AsString().find("cannot open shared object file"), std::string::npos);

    void* address = reinterpret_cast<void*>(1);
    e = lib.GetAddress("GetBlockDeviceConfigHandler", address);
    EXPECT_TRUE(e.IsError());
    EXPECT_EQ(address, nullptr);

    ASSERT_FALSE(lib.Load("libc.so.6", false).IsError());
    ASSERT_FALSE(lib.GetAddress("getpid", address).IsError());
    EXPECT_NE(address, nullptr);
    e = lib.GetAddress("GetBlockDeviceConfigHandler", address);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("undefined symbol"), std::string::npos);
    EXPECT_FALSE(lib.Unload().IsError());
    EXPECT_FALSE(lib.IsLoaded());
}

}  // namespace
