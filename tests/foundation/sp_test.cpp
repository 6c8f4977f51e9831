// Reference-counted pointers.
#include "nuvdbsnap/foundation/sp.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

int g_destroyed = 0;

class Counted : public SPEnabled {
public:
    ~Counted() override { ++g_destroyed; }
    int value = 5;
};

TEST(SPTest, CopiesCountReferencesAndTheLastOneDeletes) {
    g_destroyed = 0;
    Counted* raw = new Counted;
    {
        SP<Counted> a(raw);
        EXPECT_EQ(raw->refCount(), 1);
        {
            SP<Counted> b(a);
            SP<Counted> c;
            c = b;
            EXPECT_EQ(raw->refCount(), 3);
            EXPECT_EQ(c->value, 5);
            EXPECT_EQ(c.get(), raw);
        }
        EXPECT_EQ(raw->refCount(), 1);
        SP<Counted>& self = a;
        a = self;
        EXPECT_EQ(raw->refCount(), 1);
        EXPECT_EQ(g_destroyed, 0);
    }
    EXPECT_EQ(g_destroyed, 1);
}

TEST(SPTest, ReassignmentDropsTheOldObjectAndNullIsHarmless) {
    g_destroyed = 0;
    SP<Counted> p(new Counted);
    p = SP<Counted>(new Counted);
    EXPECT_EQ(g_destroyed, 1);
    SP<Counted> empty(nullptr);
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_EQ(empty.operator->(), nullptr);
    EXPECT_FALSE(static_cast<bool>(empty));
    p = empty;
    EXPECT_EQ(g_destroyed, 2);
}

TEST(SPTest, CountsStayRightAcrossThreads) {
    g_destroyed = 0;
    {
        SP<Counted> shared(new Counted);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([shared] {
                for (int i = 0; i < 10000; ++i) {
                    SP<Counted> copy(shared);
                    (void)copy;
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(shared.get()->refCount(), 1);
    }
    EXPECT_EQ(g_destroyed, 1);
}

}  // namespace
