#include "synccore/src/decisions.h"

#include "log/msgids.h"

namespace synccore {

const GWSyncCmd gw_none[] = {GW_END};
const GWSyncCmd gw_addrec[] = {GW_ADDREC, GW_END};
const GWSyncCmd gw_modifyrec[] = {GW_MODIFYREC, GW_END};
const GWSyncCmd gw_delrel_addrec[] = {GW_DELREL, GW_ADDREC, GW_END};
const GWSyncCmd gw_delrec_delrel[] = {GW_DELREC, GW_DELREL, GW_END};
const GWSyncCmd gw_delrel_addrel[] = {GW_DELREL, GW_ADDREL, GW_END};
const GWSyncCmd gw_addrel[] = {GW_ADDREL, GW_END};
const GWSyncCmd gw_delrel[] = {GW_DELREL, GW_END};
const GWSyncCmd gw_mail_out[] = {GW_ADDREC, GW_END};

int operationNumber(HHAction action) {
  switch (action) {
    case HHACT_ADD: return RECDONE_OP_ADD;
    case HHACT_MODIFY: return RECDONE_OP_MODIFY;
    case HHACT_DELETE: return RECDONE_OP_DELETE;
    default: return RECDONE_OP_NONE;
  }
}

namespace {
using P = Presence;
constexpr DWORD kAnyAttr = 0;
}  // namespace

// status | entry | attribute set -> action, commands, message, label
const HHSideRow kHHSideRows[] = {
    {HHSTAT_CHANGED, P::kNone, kAnyAttr, {HHACT_NONE, gw_addrec, 0, false, "hh_none, gw_addrec_addrel"}},
    {HHSTAT_CHANGED,
     P::kPresent,
     GWATTR_CHANGED,
     {HHACT_MODIFY, gw_none, MSG_CONFLICT_SERVER_WINS, false, "hh_modifyrec"}},
    {HHSTAT_CHANGED,
     P::kPresent,
     GWATTR_DELETED,
     {HHACT_NONE, gw_delrel_addrec, MSG_RECREATED_ON_SERVER, false, "hh_none, gw_delrel_addrec_addrel"}},
    {HHSTAT_CHANGED, P::kPresent, kAnyAttr, {HHACT_NONE, gw_modifyrec, 0, false, "hh_none, gw_modifyrec"}},
    {HHSTAT_DELETED,
     P::kPresent,
     GWATTR_CHANGED,
     {HHACT_ADD, gw_delrel_addrel, MSG_RESTORED_FROM_SERVER, false, "hh_addrec, gw_delrel_addrel"}},
    {HHSTAT_DELETED, P::kPresent, GWATTR_DELETED, {HHACT_NONE, gw_delrel, 0, false, "hh_none, gw_delrel"}},
    {HHSTAT_DELETED, P::kPresent, kAnyAttr, {HHACT_NONE, gw_delrec_delrel, 0, false, "hh_none, gw_delrec_delrel"}},
    {HHSTAT_DELETED, P::kNone, kAnyAttr, {HHACT_NONE, gw_none, 0, false, "hh_none, gw_none"}},
    {kOtherStatus, P::kAny, GWATTR_CHANGED, {HHACT_MODIFY, gw_none, 0, false, "hh_modifyrec, gw_none"}},
    {kOtherStatus, P::kAny, kAnyAttr, {HHACT_NONE, gw_none, 0, false, "hh_none, gw_none"}},
};
const size_t kHHSideRowCount = sizeof kHHSideRows / sizeof kHHSideRows[0];

// attribute set | handheld record read | handheld id -> action, commands, label
const GWSideRow kGWSideRows[] = {
    {GWATTR_NEW, P::kAny, P::kAny, {HHACT_ADD, gw_addrel, 0, false, "hh_addrec, gw_addrel"}},
    {GWATTR_CHANGED, P::kNone, P::kPresent, {HHACT_MODIFY, gw_none, 0, false, "hh_modifyrec, gw_none"}},
    {GWATTR_CHANGED, P::kNone, P::kNone, {HHACT_ADD, gw_addrel, 0, false, "hh_addrec, gw_addrel"}},
    {GWATTR_DELETED, P::kNone, P::kPresent, {HHACT_DELETE, gw_delrel, 0, false, "hh_delrec, gw_delrel"}},
    {GWATTR_DELETED, P::kNone, P::kNone, {HHACT_NONE, gw_delrel, 0, false, "hh_none, gw_delrel"}},
    {kAnyAttr, P::kAny, P::kAny, {HHACT_NONE, gw_none, 0, false, "hh_none, gw_none"}},
};
const size_t kGWSideRowCount = sizeof kGWSideRows / sizeof kGWSideRows[0];

// attribute set | attribute clear -> action, commands, delete-relation, label
const MailRow kMailRows[] = {
    {GWATTR_NEW, 0, {HHACT_ADD, gw_addrel, 0, false, "hh_addrec_cmds, gw_addrel"}},
    {GWATTR_DELETED, GWATTR_CHANGED, {HHACT_NONE, gw_delrel, 0, true, "hh_none_cmds, gw_delrel"}},
    {kAnyAttr, 0, {HHACT_NONE, gw_none, 0, false, "hh_none_cmds, gw_none"}},
};
const size_t kMailRowCount = sizeof kMailRows / sizeof kMailRows[0];

namespace {

bool matches(Presence p, bool present) { return p == Presence::kAny || (p == Presence::kPresent) == present; }

bool statusMatches(int rowStatus, int status) {
  if (rowStatus == kOtherStatus) return status != HHSTAT_CHANGED && status != HHSTAT_DELETED;
  return rowStatus == status;
}

bool hasAll(DWORD attrib, DWORD bits) { return (attrib & bits) == bits; }

}  // namespace

const Decision& decideHHSide(int status, const CGWRecRel* entry) {
  const DWORD a = entry ? entry->m_Attrib : 0;
  for (const HHSideRow& row : kHHSideRows)
    if (statusMatches(row.status, status) && matches(row.entry, entry != nullptr) && hasAll(a, row.attrSet))
      return row.decision;
  return kHHSideRows[kHHSideRowCount - 1].decision;  // the last row matches everything left
}

const Decision& decideGWSide(DWORD attrib, bool hhRecordFound, DWORD hhRecId) {
  for (const GWSideRow& row : kGWSideRows)
    if (hasAll(attrib, row.attrSet) && matches(row.hhRecord, hhRecordFound) && matches(row.hhId, hhRecId != 0))
      return row.decision;
  return kGWSideRows[kGWSideRowCount - 1].decision;
}

const Decision& decideMail(DWORD attrib) {
  for (const MailRow& row : kMailRows)
    if (hasAll(attrib, row.attrSet) && (attrib & row.attrClear) == 0) return row.decision;
  return kMailRows[kMailRowCount - 1].decision;
}

}  // namespace synccore
