// The engine's decision tables, as data: each table is a list of rows that
// decide() walks in order, taking the first row whose conditions hold. The
// tests walk the same rows one by one.
#pragma once

#include <cstddef>

#include "synccore/gwdatasrc.h"
#include "synccore/hhdatasrc.h"

namespace synccore {

// What happens on the handheld for one record.
enum HHAction : int {
  HHACT_ADD = 0,
  HHACT_MODIFY = 1,
  HHACT_DELETE = 2,
  HHACT_NONE = 3,
};

// The operation number (RECDONE_OP_...) that recordDone is given for an action.
int operationNumber(HHAction action);

// Command lists, named after their commands. GW_ADDREC adds the record and
// its relation in one server request, so the lists with it have no GW_ADDREL;
// the trace's labels still say "gw_addrec_addrel" for them.
extern const GWSyncCmd gw_none[];
extern const GWSyncCmd gw_addrec[];
extern const GWSyncCmd gw_modifyrec[];
extern const GWSyncCmd gw_delrel_addrec[];
extern const GWSyncCmd gw_delrec_delrel[];
extern const GWSyncCmd gw_delrel_addrel[];
extern const GWSyncCmd gw_addrel[];
extern const GWSyncCmd gw_delrel[];
extern const GWSyncCmd gw_mail_out[];  // outgoing mail: GW_ADDREC alone

struct Decision {
  HHAction action;
  const GWSyncCmd* cmds;
  DWORD message;        // record message to write, 0 for none
  bool deleteRelation;  // mail decision only
  const char* label;
};

// Conditions of a row. A status of kOtherStatus matches any status but 1
// and 2; attribute conditions are bits that must be set / must be clear.
enum class Presence { kNone, kPresent, kAny };
constexpr int kOtherStatus = -1;

// Handheld-side decision: a record read from the handheld, with status s and
// the record set's entry of its id (attributes a, or no entry).
struct HHSideRow {
  int status;
  Presence entry;
  DWORD attrSet;
  Decision decision;
};
extern const HHSideRow kHHSideRows[];
extern const size_t kHHSideRowCount;
const Decision& decideHHSide(int status, const CGWRecRel* entry);

// Server-side decision: an entry with attributes a, whether the handheld
// side read a record of its handheld id, and whether that id is 0.
struct GWSideRow {
  DWORD attrSet;
  Presence hhRecord;
  Presence hhId;  // kPresent: not 0, kNone: 0
  Decision decision;
};
extern const GWSideRow kGWSideRows[];
extern const size_t kGWSideRowCount;
const Decision& decideGWSide(DWORD attrib, bool hhRecordFound, DWORD hhRecId);

// Mail decision: an entry's attributes only.
struct MailRow {
  DWORD attrSet;
  DWORD attrClear;
  Decision decision;
};
extern const MailRow kMailRows[];
extern const size_t kMailRowCount;
const Decision& decideMail(DWORD attrib);

}  // namespace synccore
