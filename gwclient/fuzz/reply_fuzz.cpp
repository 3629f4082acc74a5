// libFuzzer target: any bytes as the body of a server reply, read by every
// page kind and every value parser. Nothing may crash, leak or read outside
// its buffers; what the parsers accept is checked by the unit tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "gwclient/src/kinds.h"
#include "gwclient/src/pages.h"
#include "gwclient/src/reply.h"
#include "gwclient/src/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CServerSession* session = new CServerSession(nullptr);
  std::string_view body(reinterpret_cast<const char*>(data), size);

  CReplyReader forUsers(body);
  session->m_UserPage.Reset();
  session->m_UserPage.Parse(forUsers);
  CReplyReader forCommit(body);
  session->m_UserPage.ParseCommitReply(forCommit);
  CReplyReader forVersion(body);
  session->m_VersionPage.Parse(forVersion);
  CReplyReader forSettings(body);
  session->m_SettingPage.Parse(forSettings);
  CReplyReader forRelations(body);
  session->m_MailRelationPage.Reset();
  session->m_MailRelationPage.Parse(forRelations);
  CReplyReader forRelationCommit(body);
  session->m_MailRelationPage.ParseCommitReply(forRelationCommit);

  // The data kinds: every record line parser, the relation section and the
  // commit replies (new ids for keys that nothing may hold).
  CPageRequest* kinds[] = {&session->m_AddressItemPage, &session->m_AddressPage, &session->m_MemoPage,
                           &session->m_SchedulePage,    &session->m_ToDoPage,    &session->m_ToDoCategoryPage,
                           &session->m_MailPage};
  for (CPageRequest* page : kinds) {
    if (page != &session->m_AddressItemPage) page->Reset();
    CReplyReader forPage(body);
    page->Parse(forPage);
    CReplyReader forPageCommit(body);
    page->ParseCommitReply(forPageCommit);
  }
  // Mails read are queued and their send body built, as a send would.
  for (void* mail : session->m_MailPage.Items()) session->m_MailPage.QueueCopy(*static_cast<__MAIL_DATA*>(mail));
  std::string sendBody;
  session->m_MailPage.BuildCommitBody(sendBody);
  session->m_MailPage.FreeQueue();

  CReplyReader lines(body);
  std::string line;
  while (lines.ReadLine(line)) {
    CFieldList fields(line);
    for (size_t i = 0; i < fields.GetCount(); ++i) {
      const char* f = fields[i].c_str();
      __OFFICE_DATE date;
      __OFFICE_TIME time;
      ParseDate(f, &date);
      ParseTime(f, &time);
      ParseTimeStamp(f);
      IsNumber(f, true);
      UrlEscape(f);
    }
  }
  return 0;
}
