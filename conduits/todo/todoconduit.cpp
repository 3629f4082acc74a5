// The to-do conduit: what it plugs into the code every conduit shares.
#include <memory>

#include "conduits/common/conduit.h"
#include "conduits/todo/todorecord.h"

namespace {

std::unique_ptr<CGWDataSrc> makeToDoServerSource(CGWSession& session) {
  return std::make_unique<CGWToDoDataSrc>(session);
}

}  // namespace

// Read while the library loads, so it must need no code to build.
constinit const ConduitDef g_ConduitDef = {
    CONDUIT_TODO,
    "todo",
    0x746F646F,  // 'todo'
    2,           // slot in GWSyncDB
    "todores.dll",
    sizeof(CPalmToDoRecord),
    placeToDoRecord,
    makeToDoServerSource,
    nullptr,  // the plain CPalmLSDataSrc: every category is synced
};
