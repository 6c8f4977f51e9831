// The filter stack of the snapshot-operation interface.
#include "nuvdbsnap/foundation/so_interface.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;

class RecordingInterface : public JZSOInterfaceBase {
public:
    explicit RecordingInterface(std::string name) : JZSOInterfaceBase(nullptr), m_name(std::move(name)) {}
    void detachFilter() override {
        JZSOInterfaceBase::detachFilter();
        g_events.push_back("detach " + m_name);
    }
    std::string m_name;
};

using Filter = JZSOFilter<JZSOInterfaceBase>;
using Stack = JZSOFilterStack<JZSOInterfaceBase>;

TEST(FilterStackTest, ClearFreesFromTheTopAndDetachesEachInterface) {
    g_events.clear();
    RecordingInterface lower("lower"), upper("upper");
    Stack stack;
    stack.pushFilter(new Filter("f1", &lower));
    stack.pushFilter(new Filter("f2", nullptr));  // no interface: no call
    stack.pushFilter(new Filter("f3", &upper));
    EXPECT_EQ(stack.top()->getName(), "f3");
    EXPECT_EQ(stack.bottom()->getName(), "f1");
    EXPECT_EQ(stack.top()->getLowerFilter()->getName(), "f2");
    EXPECT_EQ(lower.attachedFilters(), 1);

    stack.clearStack();
    EXPECT_EQ(g_events, (std::vector<std::string>{"detach upper", "detach lower"}));
    EXPECT_EQ(stack.top(), nullptr);
    EXPECT_EQ(stack.bottom(), nullptr);
    EXPECT_EQ(lower.attachedFilters(), 0);
    stack.clearStack();  // twice is harmless
    EXPECT_EQ(g_events.size(), 2u);
}

TEST(FilterStackTest, OneFilterAndEmptyStacks) {
    g_events.clear();
    RecordingInterface only("only");
    Stack stack;
    stack.clearStack();
    EXPECT_TRUE(g_events.empty());
    stack.pushFilter(new Filter("f", &only));
    EXPECT_EQ(stack.top(), stack.bottom());
    stack.clearStack();
    EXPECT_EQ(g_events, (std::vector<std::string>{"detach only"}));
    EXPECT_EQ(stack.top(), nullptr);
}

TEST(FilterStackTest, TheInterfaceFreesItsFiltersWhenDestroyed) {
    g_events.clear();
    RecordingInterface driven("driven");
    {
        JZSOInterface iface(nullptr);
        iface.filterStack().pushFilter(new Filter("a", &driven));
        iface.filterStack().pushFilter(new Filter("b", &driven));
        EXPECT_EQ(driven.attachedFilters(), 2);
    }
    EXPECT_EQ(g_events.size(), 2u);
    EXPECT_EQ(driven.attachedFilters(), 0);
}

}  // namespace
