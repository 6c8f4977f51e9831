// A block-level library without its entry: loads, but offers no handler.
extern "C" int JzBlkLvl_version() { return 1; }
