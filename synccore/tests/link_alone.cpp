// A program of someone else's: the public headers with only the repository
// root on the include path, linked against libsynccore alone.
#include <cstdio>
#include <cstring>

#include "synccore/gwaddress.h"
#include "synccore/gwmail.h"
#include "synccore/gwmemo.h"
#include "synccore/gwschedule.h"
#include "synccore/gwtodo.h"
#include "synccore/synccore.h"

int main() {
  int bad = 0;
  char id[64];
  CGWMemoRec memo;
  memo.setSubject("Shopping");
  bad += std::strcmp(memo.getRecIdStr(id, sizeof id), "Shopping") != 0;
  CGWMailRec mail;
  mail.setTo("ann@example.com");
  bad += std::strcmp(mail.getTo(), "ann@example.com") != 0;
  CGWToDoRec todo;
  todo.setCategory("Work");
  bad += std::strcmp(static_cast<const CGWRecord&>(todo).getCategory(), "Work") != 0;
  CGWScheduleRec schedule;
  schedule.setDateSet({2026, 3, 9});
  schedule.setEvent("Dentist");
  bad += std::strcmp(schedule.getRecIdStr(id, sizeof id), "3/9 Dentist") != 0;
  CGWAddressRec card;
  __ADDRESS_ITEM last{-2, const_cast<char*>("LastName"), 1, 0, 0};
  card.setItemValue(card.setItemCount(1), {&last, const_cast<char*>("Yamada")});
  bad += std::strcmp(card.getRecIdStr(id, sizeof id), "Yamada ") != 0;
  bad += mailSyncFlagsFromSetting(0, 7) != (SYNC_MAIL | SYNC_DELETE_HH_RECORDS);
  if (bad) std::printf("%d checks failed\n", bad);
  return bad;
}
