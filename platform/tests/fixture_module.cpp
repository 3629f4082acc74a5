// A small library for the platform tests: an entry point reachable by name
// and by ordinal, and a message table.
#include "platform/module.h"
#include "platform/msgtable.h"

extern "C" __attribute__((visibility("default"))) int fixtureAnswer() { return 42; }

GWSYNC_EXPORT_ORDINALS = {{7, "fixtureAnswer"}, {8, "missingEntry"}, {0, nullptr}};

GWSYNC_EXPORT_MESSAGE_TABLE = {
    {0x40000001, "first %s\r\n"},
    {0xc0000002, "0123456789"},
    {0, nullptr},
};
