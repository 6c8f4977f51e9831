// Event and pending-cause codes that the system raises from more than one place.
#pragma once

// The snapshot or its metadata collection is not supported for the volume
// (root volume, ZFS metadata, the disk snapshots' metadata).
constexpr int kCauseSnapNotSupportedForVolume = 0x0600003A;
