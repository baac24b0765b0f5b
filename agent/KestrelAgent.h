// Process-wide state of the agent shared with the other agent modules.
#pragma once

#include <cstdint>

#include "CairnApi.h"

// The cluster handle opened at startup (null when the open failed or after shutdown).
CairnClusterHandle KestrelGetClusterHandle();

// The entry-point timeout in seconds for an entry-point code (1, 2, 4, 5). Returns false for other codes.
bool KestrelGetTimeout(int32_t epCode, uint32_t& seconds);
