// Internal: the systemd body behind TernSCM / TernService, and the choice between it and the embedded
// service manager. Not part of the library's interface.
//
// A service NAME is the unit NAME.service. Every call goes over the calling thread's own connection to the
// system bus (sd-bus objects must not be shared between threads, and entry points run concurrently); a
// unit object keeps the connection of the thread that opened it and is used on that thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "KestrelStatus.h"
#include "LibService.h"
#include "LibServiceRegistry.h"

// Which service manager CAIRN_SERVICE_MANAGER selects (unset or empty: embedded).
enum class TernServiceBackend { kEmbedded, kSystemd, kAuto };

// Job results of systemd other than "done", as errors (code 2).
enum : uint32_t {
    // "timeout" (the unit's own start or stop time ran out) is TERN_ERROR_SERVICE_REQUEST_TIMEOUT (1053).
    TERN_ERROR_PROCESS_ABORTED = 1067,          // "failed": the unit's command failed or its process died
    TERN_ERROR_SERVICE_DEPENDENCY_FAIL = 1068,  // "dependency": a unit it needs failed
    TERN_ERROR_REQUEST_ABORTED = 1235,          // "canceled": another job replaced it
};

// The unit state behind a TernService opened on systemd (TernSystemdUnit, declared in LibService.h).
using TernSystemdUnitPtr = std::unique_ptr<TernSystemdUnit, TernSystemdUnitDeleter>;

namespace tern_sd {

// Reads CAIRN_SERVICE_MANAGER. false (backend untouched) for a value other than embedded, systemd, auto.
bool SelectedBackend(TernServiceBackend& backend);
// true when the machine was booted with systemd (test builds: KESTREL_TEST_SD_BOOTED=1 pretends so).
bool Booted();
// Connects the calling thread to the system bus (kept for the thread's later calls). Failure: code 2 with
// the mapped errno (2 when there is no bus).
CKestrelStatus Connect();
// Loads unit <serviceName>.service. loadedOnly: only a unit whose LoadState is "loaded" is taken.
// Failure: 123 for a name that cannot be a unit name, 1060 when the unit does not exist (or, with
// loadedOnly, is not loaded), or the bus error mapped. unit is empty on failure.
CKestrelStatus Open(const std::string& serviceName, bool loadedOnly, TernSystemdUnitPtr& unit);
// Deletes a unit, ending its pending job's match (TernSystemdUnitDeleter).
void Free(TernSystemdUnit* unit);
// State (ActiveState mapped) and process (MainPID) of the unit.
CKestrelStatus Query(TernSystemdUnit& unit, TernServiceStatus& status);
// The unit's Description.
CKestrelStatus Description(TernSystemdUnit& unit, std::string& text);
// Subscribes, adds the JobRemoved match and asks for a start (StartUnit) or a stop (StopUnit), mode
// "replace"; the job is then pending until WaitJob. Failure: the bus error mapped (nothing pending).
CKestrelStatus BeginJob(TernSystemdUnit& unit, bool start);
bool HasJob(const TernSystemdUnit& unit);
// Waits up to limitMs (TernService::kInfinite: no limit) for the pending job's JobRemoved and forgets the
// job. Success for result "done"; 258 when the time ran out (the job stays with systemd); 1053, 1067, 1068,
// 1235 for the results timeout, failed, dependency, canceled; 1359 for any other result.
CKestrelStatus WaitJob(TernSystemdUnit& unit, uint32_t limitMs);

}  // namespace tern_sd
