// Mail on the server: the data source over the client library's mail
// connection (the mail box is read; handheld mail is queued and sent) and
// the records the engine and the mail conduit's converter use.
//
//   CGWMailDataSrc gw(session);
//   CGWMailRec* r = static_cast<CGWMailRec*>(gw.createRecord());
//   r->setTo("ann@example.com");         // copied
//   gw.putNewRecord(r, hhId);            // queued
//   int sent = gw.send();                // number sent, or -position of the refused one
#pragma once

#include "synccore/gwdatasrcof.h"
#include "synccore/gwowned.h"

// A mail as the client library holds it. Read-only: the structure belongs
// to the library; every setter stops the process.
class SYNCCORE_API CGWMailConstRec : public CGWRecord {
 public:
  explicit CGWMailConstRec(const __MAIL_DATA* record = nullptr) : CGWRecord("CGWMailConstRec", record) {}

  const __MAIL_DATA* data() const { return static_cast<const __MAIL_DATA*>(m_RecPtr); }
  // 0 or null when there is no structure.
  LONG getTimeSent() const { return data() ? data()->nTimeSent : 0; }
  BOOL getRead() const { return data() ? data()->bRead : 0; }
  const char* getSubject() const { return data() ? data()->pszSubject : nullptr; }
  const char* getFrom() const { return data() ? data()->pszFrom : nullptr; }
  const char* getTo() const { return data() ? data()->pszTo : nullptr; }
  const char* getCC() const { return data() ? data()->pszCC : nullptr; }
  const char* getBCC() const { return data() ? data()->pszBCC : nullptr; }
  const char* getReplyTo() const { return data() ? data()->pszReplyTo : nullptr; }
  const char* getContentType() const { return data() ? data()->pszContentType : nullptr; }
  const char* getData() const { return data() ? data()->pszData : nullptr; }

  virtual void setRead(BOOL read);
  virtual void setSubject(const char* text);
  virtual void setFrom(const char* text);
  virtual void setTo(const char* text);
  virtual void setCC(const char* text);
  virtual void setBCC(const char* text);
  virtual void setReplyTo(const char* text);
  virtual void setContentType(const char* text);
  virtual void setData(const char* text);

  // The subject, cut with "..." to fit length bytes.
  char* getRecIdStr(char* buffer, int length) const override;
  void trace() const override;

 protected:
  CGWMailConstRec(const char* className, const __MAIL_DATA* record) : CGWRecord(className, record) {}
};

// A mail of our own, owning its structure and copies of its texts. Setters
// throw CMemoryRunOut("CGWRecord", "copyStrField", label) and leave the
// field as it was.
class SYNCCORE_API CGWMailRec : public CGWMailConstRec {
 public:
  CGWMailRec();
  ~CGWMailRec() override;
  CGWMailRec(const CGWMailRec&) = delete;
  CGWMailRec& operator=(const CGWMailRec&) = delete;

  void setRead(BOOL read) override { m_Data.data().bRead = read; }
  void setSubject(const char* text) override;
  void setFrom(const char* text) override;
  void setTo(const char* text) override;
  void setCC(const char* text) override;
  void setBCC(const char* text) override;
  void setReplyTo(const char* text) override;
  void setContentType(const char* text) override;
  void setData(const char* text) override;
  void setRecordId(DWORD recId) override { m_Data.data().nID = recId; }
  // Copies every field of another mail record; a failed copy leaves this
  // record as it was.
  void assign(const CGWRecord& other) override;

 private:
  CGWOwnedTexts<__MAIL_DATA, &__MAIL_DATA::pszSubject, &__MAIL_DATA::pszFrom, &__MAIL_DATA::pszTo, &__MAIL_DATA::pszCC,
                &__MAIL_DATA::pszBCC, &__MAIL_DATA::pszReplyTo, &__MAIL_DATA::pszContentType, &__MAIL_DATA::pszData>
      m_Data;
};

class SYNCCORE_API CGWMailRecRel : public CGWRecRelOf<CGWMailRecRel, CGWMailConstRec> {
 public:
  static constexpr char kClassName[] = "CGWMailRecRel";
};

class SYNCCORE_API CGWMailDataSrc;
extern template class CGWRecRelOf<CGWMailRecRel, CGWMailConstRec>;
extern template class CGWDataSrcOf<CGWMailDataSrc, CMailConnection, CGWMailRecRel, CGWMailRec>;

// The mail data source. New and changed records are both queued for
// sending; removing a server mail is never asked of it (a fatal stop).
class SYNCCORE_API CGWMailDataSrc : public CGWDataSrcOf<CGWMailDataSrc, CMailConnection, CGWMailRecRel, CGWMailRec> {
 public:
  static constexpr char kClassName[] = "CGWMailDataSrc";
  static constexpr char kAllocRecord[] = "Alloc CGWMailRec";

  explicit CGWMailDataSrc(CGWSession& session);
  ~CGWMailDataSrc() override;

  // The mail sync mode: SYNC_NONE or SYNC_MAIL, deletion bit from the mode.
  WORD determineHowToSync(WORD flags) override;
  // Sends the queued mail: the number sent, or minus the position (from 1)
  // of the mail the server refused, after one server-error report (-1 when
  // the request itself failed).
  int send() override;
  DWORD getSyncSetting(const __SYNC5_SET* set) override;
  // Both queue the mail for send (the handheld id is not needed).
  bool putNewRecord(CGWRecord* record, DWORD hhRecId) override;
  bool putRecord(CGWRecord* record) override;
  // Never asked of mail: stops the process.
  bool removeRecord(DWORD gwRecId) override;

 private:
  int m_Queued = 0;  // mails queued since the last successful send
};
