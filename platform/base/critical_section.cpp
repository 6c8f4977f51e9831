#include "nuvdbsnap/platform/base/critical_section.h"

int JzCriticalSectionH::enter(bool blocking) {
    if (blocking) {
        m_mutex.lock();
        return 1;
    }
    return m_mutex.try_lock() ? 1 : 0;
}

void JzCriticalSectionH::leave() { m_mutex.unlock(); }
