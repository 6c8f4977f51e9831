// Waits for an flock(2) lock with a time-out in milliseconds (polling with a
// growing pause). ~0UL waits without limit; 0 tries once. True when granted;
// otherwise errno is EWOULDBLOCK (timed out) or the failure's errno.
#pragma once

bool FlockWait(int fd, bool exclusive, unsigned long timeoutMs);
