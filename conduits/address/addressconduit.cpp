// The address conduit: what it plugs into the code every conduit shares.
#include <memory>

#include "conduits/address/addressrecord.h"
#include "conduits/common/conduit.h"

namespace {

std::unique_ptr<CGWDataSrc> makeAddressServerSource(CGWSession& session) {
  return std::make_unique<CGWAddressDataSrc>(session);
}

}  // namespace

// Read while the library loads, so it must need no code to build.
constinit const ConduitDef g_ConduitDef = {
    CONDUIT_ADDRESS,
    "addr",
    0x61646472,  // 'addr'
    1,           // slot in GWSyncDB
    "addressres.dll",
    sizeof(CPalmAddressRecord),
    placeAddressRecord,
    makeAddressServerSource,
    nullptr,  // the plain CPalmLSDataSrc
};
