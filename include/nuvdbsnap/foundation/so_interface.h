// The snapshot-operation interface JZSOInterface with its filter stack. A filter
// drives an interface object; the stack owns its filters and frees them from the
// top down. JZSOInterface's operations are defined by the snapshot manager.
#pragma once

#include <string>
#include <utility>

class EvEvent;
class SMVolSnapInfo;

class JZSOInterfaceBase {
public:
    explicit JZSOInterfaceBase(EvEvent* event) : m_event(event) {}
    JZSOInterfaceBase(JZSOInterfaceBase const&) = delete;
    JZSOInterfaceBase& operator=(JZSOInterfaceBase const&) = delete;
    virtual ~JZSOInterfaceBase();

    // Called by a filter that drives this object when the filter is destroyed;
    // the object stays alive (the filter never deletes it).
    virtual void detachFilter();

    EvEvent* getEvent() const { return m_event; }
    int attachedFilters() const { return m_attachedFilters; }
    void attachFilter() { ++m_attachedFilters; }

protected:
    EvEvent* m_event = nullptr;    // the job's event and log context, borrowed
    int m_attachedFilters = 0;     // filters that drive this object
    int m_errCode = 0;             // the last failure's code (0 = none)
    std::string m_errText;         // the last failure's text
};

template <class I>
class JZSOFilter {
public:
    JZSOFilter(std::string name, I* iface) : m_name(std::move(name)), m_interface(iface) {
        if (m_interface != nullptr) m_interface->attachFilter();
    }
    JZSOFilter(JZSOFilter const&) = delete;
    JZSOFilter& operator=(JZSOFilter const&) = delete;
    ~JZSOFilter() {
        if (m_interface != nullptr) m_interface->detachFilter();
        m_upper = nullptr;
        m_lower = nullptr;
    }

    JZSOFilter* getLowerFilter() const { return m_lower; }
    JZSOFilter* getUpperFilter() const { return m_upper; }
    std::string const& getName() const { return m_name; }
    I* getInterface() const { return m_interface; }

    std::string m_name;
    I* m_interface = nullptr;      // the object the filter drives, may be null
    JZSOFilter* m_upper = nullptr;
    JZSOFilter* m_lower = nullptr;
};

template <class I>
class JZSOFilterStack {
public:
    JZSOFilterStack() = default;
    JZSOFilterStack(JZSOFilterStack const&) = delete;
    JZSOFilterStack& operator=(JZSOFilterStack const&) = delete;
    ~JZSOFilterStack() { clearStack(); }

    // Puts a filter (made with new) on top; the stack owns it from then on.
    void pushFilter(JZSOFilter<I>* filter) {
        if (filter == nullptr) return;
        filter->m_upper = nullptr;
        filter->m_lower = m_top;
        if (m_top != nullptr) m_top->m_upper = filter;
        m_top = filter;
        if (m_bottom == nullptr) m_bottom = filter;
    }

    // Frees every filter, walking the lower links from the top; both ends null after.
    void clearStack() {
        if (m_top == nullptr && m_bottom == nullptr) return;
        JZSOFilter<I>* current = m_top;
        while (current != nullptr) {
            JZSOFilter<I>* lower = current->getLowerFilter();
            delete current;
            current = lower;
        }
        m_top = nullptr;
        m_bottom = nullptr;
    }

    JZSOFilter<I>* top() const { return m_top; }
    JZSOFilter<I>* bottom() const { return m_bottom; }

private:
    JZSOFilter<I>* m_top = nullptr;     // where every walk starts
    JZSOFilter<I>* m_bottom = nullptr;  // the other end
};

class JZSOInterface : public JZSOInterfaceBase {
public:
    explicit JZSOInterface(EvEvent* event) : JZSOInterfaceBase(event) {}
    ~JZSOInterface() override {}   // the filter stack is cleared, then the base destroyed

    // Defined by the snapshot manager: true on success; after a failure getErrCode
    // and getErrCodeAndStr give the code (and text).
    bool prepareVolumeSnaps(SMVolSnapInfo& record);
    bool deleteVolumeSnaps(SMVolSnapInfo& record);
    int getErrCode();
    int getErrCodeAndStr(std::string& text);

    JZSOFilterStack<JZSOInterfaceBase>& filterStack() { return m_filterStack; }

protected:
    JZSOFilterStack<JZSOInterfaceBase> m_filterStack;
};
