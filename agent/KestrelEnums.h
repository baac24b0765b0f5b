// The small vocabularies every part of the agent shares: entry-point markers, resource states and the SAP
// architectures inferred from ProcMon.
#pragma once

#include <cstdint>

// Values of the current-entry-point marker (also the action codes of the SAP log record).
enum : uint32_t { KCUR_ONLINE = 1, KCUR_OFFLINE = 2, KCUR_MONITOR = 3, KCUR_CLEAN = 4 };

// Resource states.
enum : uint32_t { KSTATE_OFFLINE = 0, KSTATE_ONLINE = 1, KSTATE_UNKNOWN = 2 };

// SAP architectures inferred from ProcMon.
enum : int32_t { KARCH_NONE = 0, KARCH_ABAP = 1, KARCH_JAVA = 2, KARCH_ADDIN = 3 };
