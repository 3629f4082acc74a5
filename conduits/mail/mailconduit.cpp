// The mail conduit: what it plugs into the code every conduit shares.
#include <memory>

#include "conduits/common/conduit.h"
#include "conduits/mail/maildatasrc.h"
#include "conduits/mail/mailrecord.h"

namespace {

std::unique_ptr<CGWDataSrc> makeMailServerSource(CGWSession& session) {
  return std::make_unique<CGWMailDataSrc>(session);
}

std::unique_ptr<CPalmLSDataSrc> makeMailHandheldSource(CPalmCategoryList* categories, CPalmRecordSet* records,
                                                       SyncTimeStore* times, const char* dbName, DWORD creator) {
  char receive[sizeof(CPalmCategory::m_Name)], send[sizeof(CPalmCategory::m_Name)],
      filed[sizeof(CPalmCategory::m_Name)];  // cut as the handheld keeps them
  conduitText(MAILRES_RECEIVE_CATEGORY, receive, sizeof receive);
  conduitText(MAILRES_SEND_CATEGORY, send, sizeof send);
  conduitText(MAILRES_FILED_CATEGORY, filed, sizeof filed);
  return std::make_unique<PalmLSMailDataSrc>(categories, records, times, dbName, 0, creator, send, filed, receive);
}

}  // namespace

// Read while the library loads, so it must need no code to build.
constinit const ConduitDef g_ConduitDef = {
    CONDUIT_MAIL,
    "mail",
    0x6D61696C,  // 'mail'
    4,           // slot in GWSyncDB
    "mailres.dll",
    sizeof(CPalmMailRecord),
    placeMailRecord,
    makeMailServerSource,
    makeMailHandheldSource,
};
