// CKestrel: the agent's operations on one SAP instance for one entry-point call.
#pragma once

#include <cstdint>

#include "KestrelAttrib.h"
#include "KestrelStatus.h"

// Values of the current-entry-point marker (also the action codes of the SAP log record).
enum : uint32_t { KCUR_ONLINE = 1, KCUR_OFFLINE = 2, KCUR_MONITOR = 3, KCUR_CLEAN = 4 };

// Resource states.
enum : uint32_t { KSTATE_OFFLINE = 0, KSTATE_ONLINE = 1, KSTATE_UNKNOWN = 2 };

class CKestrel {
public:
    // Brings the instance online. result is the entry point's result (left 0).
    CKestrelStatus Online(CKestrelAttrib& attrib, uint32_t& result);
    // Takes the instance offline.
    CKestrelStatus Offline(CKestrelAttrib& attrib, uint32_t& result);
    // Decides the resource state into state (preset by the caller to 2).
    CKestrelStatus Monitor(CKestrelAttrib& attrib, uint32_t& state);
    // Cleans the instance by force; result is 1 when a process could not be killed.
    CKestrelStatus Clean(CKestrelAttrib& attrib, uint32_t reason, uint32_t& result);

private:
    uint32_t m_CurrentEP = 0;
};
