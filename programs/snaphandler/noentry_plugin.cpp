// A snap-handler library without its entry: loads, but offers nothing to call.
extern "C" int JZSnapHandler_version() { return 1; }
