// The host extensions of the agent: validation without acting and what of an instance is left.
#pragma once

// Registers the extension table (framework/CairnAgfw.h: Validate and Remains). Called by startup.
void KestrelRegisterExtensions();
