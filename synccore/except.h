// The sync engine's exceptions. CMemoryRunOut is the one exception that may
// cross a library boundary (from libsynccore.so to a conduit): it is thrown by
// value when memory cannot be had, and every place that catches it also
// catches std::bad_alloc and reports both the same way (reportMemoryRunOut).
//
//   try { ... } catch (const CMemoryRunOut& e) { reportMemoryRunOut(e); }
//   catch (const std::bad_alloc&) { reportMemoryRunOut(CMemoryRunOut(...)); }
#pragma once

#include "platform/wintypes.h"

#define SYNCCORE_API __attribute__((visibility("default")))

// Base of the engine's exceptions. Inline throughout, with default
// visibility, so that every module agrees on one type identity.
class SYNCCORE_API CSyncExcept {
 public:
  virtual ~CSyncExcept() = default;
};

// Allocation failure: three constant texts (never freed, never copied).
class SYNCCORE_API CMemoryRunOut : public CSyncExcept {
 public:
  CMemoryRunOut(const char* className, const char* method, const char* message)
      : m_ClassName(className), m_Method(method), m_Message(message) {}
  const char* getClassName() const { return m_ClassName; }
  const char* getMethod() const { return m_Method; }
  const char* getMessage() const { return m_Message; }

 private:
  const char* m_ClassName;
  const char* m_Method;
  const char* m_Message;
};

// An index outside its range: class name, operation and the index, written
// to the event log (0xc0000003) by whoever catches it.
class SYNCCORE_API CWrongIndex : public CSyncExcept {
 public:
  CWrongIndex(const char* className, const char* method, DWORD index)
      : m_ClassName(className), m_Method(method), m_Index(index) {}
  const char* getClassName() const { return m_ClassName; }
  const char* getMethod() const { return m_Method; }
  DWORD getIndex() const { return m_Index; }

 private:
  const char* m_ClassName;
  const char* m_Method;
  DWORD m_Index;
};

// Writes event-log message 0xc0000002 with the exception's three texts.
void reportMemoryRunOut(const CMemoryRunOut& e);
// The same for a std::bad_alloc caught where the given operation ran.
void reportBadAlloc(const char* className, const char* method);
// Writes event-log message 0xc0000003 with the exception's three values.
void reportWrongIndex(const CWrongIndex& e);

// Stops the process after a trace line: for programming errors that no
// input can cause (a setter of a read-only record, a full result list).
[[noreturn]] void fatalStop(const char* className, const char* what);
