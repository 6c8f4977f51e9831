// A fresh state root per test, and a few declared rows.
#pragma once

#include "nuvdbsnap/platform/appmgr.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class AppMgrTest : public nuvtest::SuiteTest {
protected:
    static unsigned long AddClient(std::string const& name, std::string const& host = "", int appType = 0) {
        nuvappmgr::ClientDecl d;
        d.name = name;
        d.host = host;
        d.appType = appType;
        unsigned long id = 0;
        CFzError err = nuvappmgr::DeclareClient(d, &id);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return id;
    }
    static unsigned long AddInstance(unsigned long clientId, std::string const& name, int appType) {
        nuvappmgr::InstanceDecl d;
        d.clientId = clientId;
        d.name = name;
        d.appType = appType;
        unsigned long id = 0;
        CFzError err = nuvappmgr::DeclareInstance(d, &id);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return id;
    }
    static unsigned long AddSubclient(nuvappmgr::SubclientDecl const& d) {
        unsigned long id = 0;
        CFzError err = nuvappmgr::DeclareSubclient(d, &id);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return id;
    }
    static unsigned long AddApplication(nuvappmgr::ApplicationDecl const& d) {
        unsigned long id = 0;
        CFzError err = nuvappmgr::DeclareApplication(d, &id);
        EXPECT_FALSE(err.IsError()) << err.AsString();
        return id;
    }
};
