// The cluster handle that the agent's startup opened, for the checks that query the cluster.
#pragma once

#include "CairnApi.h"

// The handle opened by CairnAgStartup (owned by the agent frame, closed at shutdown); null before startup
// opened it or after shutdown closed it. Callers must not close it.
CairnClusterHandle KestrelGetClusterHandle();
