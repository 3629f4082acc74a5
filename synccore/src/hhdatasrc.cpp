#include "synccore/hhdatasrc.h"

CHHDataSrc::CHHDataSrc(CHHCategoryList* categories, CHHRecordSet* records)
    : m_Categories(categories), m_Records(records) {}

CHHDataSrc::~CHHDataSrc() = default;

bool CHHDataSrc::prepareSync() { return true; }

WORD CHHDataSrc::determineHowToSync(WORD flags) { return flags; }

bool CHHDataSrc::addCategory(const char* name) { return m_Categories && m_Categories->add(name) != nullptr; }

int CHHDataSrc::recordDone(int /*operation*/) { return RECDONE_END_BATCH; }

int CHHDataSrc::batchDone(LONG /*batchResult*/, int /*operation*/) { return BATCHDONE_GO_ON; }

const CHHCategory* CHHDataSrc::findCategory(const char* name) const {
  return m_Categories ? m_Categories->find(name) : nullptr;
}

CHHRecord* CHHDataSrc::findRecord(DWORD recId) const { return m_Records ? m_Records->find(recId) : nullptr; }

bool CHHDataSrc::reservePairings(const std::vector<DWORD>& gwRecIds, std::vector<DWORD>& hhRecIds) {
  hhRecIds.assign(gwRecIds.size(), 0);
  return true;
}

bool CHHDataSrc::readPairings(std::vector<HHPairing>& pairs) {
  pairs.clear();
  return true;
}

bool CHHDataSrc::clearPairings() { return true; }

bool CHHDataSrc::noteFirstSyncBegun() { return true; }

bool CHHDataSrc::readFirstSyncNote(bool* begun) {
  *begun = false;
  return true;
}

bool CHHDataSrc::clearFirstSyncNote() { return true; }

bool CHHDataSrc::makeDurable() { return true; }
