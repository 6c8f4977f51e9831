// The entry that the snap-handler plug-in "libJZSnapHandler.so" exports: it
// snaps the record's volumes and updates the record in place. True on success;
// on failure the record's error code and text tell why.
#pragma once

class SMVolSnapInfo;

#define JZSNAPHANDLER_ENTRY_NAME "JZSnapHandler_createSnapShotWithStatus"

extern "C" {
typedef bool (*JZSnapHandlerCreateSnapShotFn)(SMVolSnapInfo& record);
}
