// libFuzzer target: any bytes as the body of a server reply, read by every
// page kind and every value parser. Nothing may crash, leak or read outside
// its buffers; what the parsers accept is checked by the unit tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
