// The memo conduit: what it plugs into the code every conduit shares.
#include <memory>

#include "conduits/common/conduit.h"
#include "conduits/memo/memodatasrc.h"
#include "conduits/memo/memorecord.h"

namespace {

std::unique_ptr<CGWDataSrc> makeMemoServerSource(CGWSession& session) {
  return std::make_unique<CGWMemoDataSrc>(session);
}

std::unique_ptr<CPalmLSDataSrc> makeMemoHandheldSource(CPalmCategoryList* categories, CPalmRecordSet* records,
                                                       SyncTimeStore* times, const char* dbName, DWORD creator) {
  char category[sizeof(CPalmCategory::m_Name)];  // cut as the handheld keeps it
  char messageName[64];
  conduitText(MEMORES_CATEGORY, category, sizeof category);
  conduitText(MEMORES_NO_CATEGORY, messageName, sizeof messageName);
  return std::make_unique<CPalmLSMemoDataSrc>(categories, records, times, dbName, 0, creator, category, messageName);
}

}  // namespace

// Read while the library loads, so it must need no code to build.
constinit const ConduitDef g_ConduitDef = {
    CONDUIT_MEMO,
    "memo",
    0x6D656D6F,  // 'memo'
    3,           // slot in GWSyncDB
    "memores.dll",
    sizeof(CPalmMemoRecord),
    placeMemoRecord,
    makeMemoServerSource,
    makeMemoHandheldSource,
};
