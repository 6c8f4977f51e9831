// The entry that the block-level library "libJzBlkLvl.so" (in the base home
// directory) exports: it builds the device-configuration handler of the job
// from the caller's command-line arguments, or returns null.
#pragma once

#include <string>
#include <vector>

class JzDeviceConfigHandler;

#define JZBLKLVL_LIBRARY_NAME "libJzBlkLvl.so"
#define JZBLKLVL_ENTRY_NAME "GetBlockDeviceConfigHandler"

extern "C" {
typedef JzDeviceConfigHandler* (*GetBlockDeviceConfigHandlerFn)(std::vector<std::string>& arguments);
}
