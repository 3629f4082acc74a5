// The decision tables, case by case: each case states the facts of one
// record and the decision the engine must take, written out independently of
// the tables' own rows.
#include "synccore/src/decisions.h"

#include <gtest/gtest.h>

#include <string>

#include "log/msgids.h"
#include "synccore/tests/memgw.h"

namespace {

using namespace synccore;

constexpr int kNoEntry = -1;  // no entry of the record's id in the record set

// Handheld side. Legend: status (0 unchanged, 1 changed, 2 deleted),
// entry attributes (kNoEntry: none) -> action, commands, message, label.
struct HHCase {
  int status;
  int attrib;
  HHAction action;
  const GWSyncCmd* cmds;
  DWORD message;
  const char* label;
};

const HHCase kHHCases[] = {
    {1, kNoEntry, HHACT_NONE, gw_addrec, 0, "hh_none, gw_addrec_addrel"},
    {1, 0x12, HHACT_MODIFY, gw_none, MSG_CONFLICT_SERVER_WINS, "hh_modifyrec"},
    {1, 0x03, HHACT_MODIFY, gw_none, MSG_CONFLICT_SERVER_WINS, "hh_modifyrec"},
    {1, 0x16, HHACT_MODIFY, gw_none, MSG_CONFLICT_SERVER_WINS, "hh_modifyrec"},  // 0x02 is asked first
    {1, 0x14, HHACT_NONE, gw_delrel_addrec, MSG_RECREATED_ON_SERVER, "hh_none, gw_delrel_addrec_addrel"},
    {1, 0x10, HHACT_NONE, gw_modifyrec, 0, "hh_none, gw_modifyrec"},
    {1, 0x00, HHACT_NONE, gw_modifyrec, 0, "hh_none, gw_modifyrec"},
    {2, 0x12, HHACT_ADD, gw_delrel_addrel, MSG_RESTORED_FROM_SERVER, "hh_addrec, gw_delrel_addrel"},
    {2, 0x14, HHACT_NONE, gw_delrel, 0, "hh_none, gw_delrel"},
    {2, 0x10, HHACT_NONE, gw_delrec_delrel, 0, "hh_none, gw_delrec_delrel"},
    {2, kNoEntry, HHACT_NONE, gw_none, 0, "hh_none, gw_none"},
    {0, 0x12, HHACT_MODIFY, gw_none, 0, "hh_modifyrec, gw_none"},
    {0, 0x10, HHACT_NONE, gw_none, 0, "hh_none, gw_none"},
    {0, 0x14, HHACT_NONE, gw_none, 0, "hh_none, gw_none"},
    {0, kNoEntry, HHACT_NONE, gw_none, 0, "hh_none, gw_none"},
    {7, 0x12, HHACT_MODIFY, gw_none, 0, "hh_modifyrec, gw_none"},  // an unknown status is "other"
};

void PrintTo(const HHCase& c, std::ostream* os) {
  *os << "status " << c.status << " attrib " << c.attrib << " -> " << c.label;
}

class HHSideDecision : public ::testing::TestWithParam<HHCase> {};

TEST_P(HHSideDecision, Case) {
  const HHCase& c = GetParam();
  testgw::RecRel entry;
  if (c.attrib != kNoEntry) entry.m_Attrib = static_cast<DWORD>(c.attrib);
  const Decision& d = decideHHSide(c.status, c.attrib == kNoEntry ? nullptr : &entry);
  EXPECT_EQ(d.action, c.action);
  EXPECT_EQ(d.cmds, c.cmds);
  EXPECT_EQ(d.message, c.message);
  EXPECT_STREQ(d.label, c.label);
}

INSTANTIATE_TEST_SUITE_P(Cases, HHSideDecision, ::testing::ValuesIn(kHHCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// Server side. Legend: entry attributes, a handheld record of the entry's
// id was read, the entry's handheld id is not 0 -> action, commands, label.
struct GWCase {
  DWORD attrib;
  bool hhRecordRead;
  bool hhIdSet;
  HHAction action;
  const GWSyncCmd* cmds;
  const char* label;
};

const GWCase kGWCases[] = {
    {0x01, false, false, HHACT_ADD, gw_addrel, "hh_addrec, gw_addrel"},
    {0x03, false, false, HHACT_ADD, gw_addrel, "hh_addrec, gw_addrel"},
    {0x12, false, true, HHACT_MODIFY, gw_none, "hh_modifyrec, gw_none"},
    {0x12, true, true, HHACT_NONE, gw_none, "hh_none, gw_none"},
    {0x12, false, false, HHACT_ADD, gw_addrel, "hh_addrec, gw_addrel"},
    {0x14, false, true, HHACT_DELETE, gw_delrel, "hh_delrec, gw_delrel"},
    {0x14, true, true, HHACT_NONE, gw_none, "hh_none, gw_none"},
    {0x14, false, false, HHACT_NONE, gw_delrel, "hh_none, gw_delrel"},
    {0x10, false, true, HHACT_NONE, gw_none, "hh_none, gw_none"},
    {0x10, true, true, HHACT_NONE, gw_none, "hh_none, gw_none"},
};

void PrintTo(const GWCase& c, std::ostream* os) {
  *os << "attrib " << c.attrib << (c.hhRecordRead ? " read" : " not read") << " -> " << c.label;
}

class GWSideDecision : public ::testing::TestWithParam<GWCase> {};

TEST_P(GWSideDecision, Case) {
  const GWCase& c = GetParam();
  const Decision& d = decideGWSide(c.attrib, c.hhRecordRead, c.hhIdSet ? 0x33 : 0);
  EXPECT_EQ(d.action, c.action);
  EXPECT_EQ(d.cmds, c.cmds);
  EXPECT_STREQ(d.label, c.label);
}

INSTANTIATE_TEST_SUITE_P(Cases, GWSideDecision, ::testing::ValuesIn(kGWCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// Mail. Legend: entry attributes -> action, commands, delete-relation, label.
struct MailCase {
  DWORD attrib;
  HHAction action;
  const GWSyncCmd* cmds;
  bool deleteRelation;
  const char* label;
};

const MailCase kMailCases[] = {
    {0x01, HHACT_ADD, gw_addrel, false, "hh_addrec_cmds, gw_addrel"},
    {0x03, HHACT_ADD, gw_addrel, false, "hh_addrec_cmds, gw_addrel"},
    {0x14, HHACT_NONE, gw_delrel, true, "hh_none_cmds, gw_delrel"},
    {0x16, HHACT_NONE, gw_none, false, "hh_none_cmds, gw_none"},
    {0x12, HHACT_NONE, gw_none, false, "hh_none_cmds, gw_none"},  // offered once, never again
    {0x10, HHACT_NONE, gw_none, false, "hh_none_cmds, gw_none"},
};

class MailDecision : public ::testing::TestWithParam<MailCase> {};

TEST_P(MailDecision, Case) {
  const MailCase& c = GetParam();
  const Decision& d = decideMail(c.attrib);
  EXPECT_EQ(d.action, c.action);
  EXPECT_EQ(d.cmds, c.cmds);
  EXPECT_EQ(d.deleteRelation, c.deleteRelation);
  EXPECT_STREQ(d.label, c.label);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailDecision, ::testing::ValuesIn(kMailCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(OperationNumber, ForRecordDone) {
  EXPECT_EQ(operationNumber(HHACT_ADD), 1);
  EXPECT_EQ(operationNumber(HHACT_MODIFY), 2);
  EXPECT_EQ(operationNumber(HHACT_DELETE), 3);
  EXPECT_EQ(operationNumber(HHACT_NONE), 0);
}

}  // namespace
