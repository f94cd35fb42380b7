#pragma once

// A variable that owns a reference, released however its scope is left by the library's own helper
// (sd-bus's sd_bus_message_unrefp, sd_bus_slot_unrefp, sd_bus_error_free, ...).
#define TM_CLEANUP(helper) __attribute__((cleanup(helper)))
