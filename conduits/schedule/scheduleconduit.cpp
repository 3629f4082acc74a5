// The schedule conduit: what it plugs into the code every conduit shares.
#include <memory>

#include "conduits/common/conduit.h"
#include "conduits/schedule/scheduledatasrc.h"
#include "conduits/schedule/schedulerecord.h"

namespace {

std::unique_ptr<CGWDataSrc> makeScheduleServerSource(CGWSession &session) {
  return std::make_unique<CGWScheduleWindowDataSrc>(session);
}

}  // namespace

// Read while the library loads, so it must need no code to build.
constinit const ConduitDef g_ConduitDef = {
    CONDUIT_SCHEDULE,
    "date",
    0x64617465,  // 'date'
    0,           // slot in GWSyncDB
    "scheduleres.dll",
    sizeof(CPalmEventRecord),
    placeEventRecord,
    makeScheduleServerSource,
    makeScheduleHandheldSource,
};
