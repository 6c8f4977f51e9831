// Value types of the job-manager calls. Each wraps a number and converts from
// and to int, so callers pass plain literals (300, 0) as well as named values.
#pragma once

// Message type of the event raised with a pending cause (300: job event).
struct EvMessageType {
    constexpr EvMessageType(int v = 0) : value(v) {}
    constexpr operator int() const { return value; }
    int value;
};

// Colour level of the alert shown with a pending cause (0: none).
struct JMGUIAlertColorLevel {
    constexpr JMGUIAlertColorLevel(int v = 0) : value(v) {}
    constexpr operator int() const { return value; }
    int value;
};

// Flags of a pending cause (0: none).
struct JMPendingCauseFlags {
    constexpr JMPendingCauseFlags(unsigned v = 0) : value(v) {}
    constexpr operator unsigned() const { return value; }
    unsigned value;
};
