// The relation data of a kind: pairs of a server record id and the handheld
// record it is paired with, in the server's order, the relation time stamp,
// and what changed since the last commit (for the run record). The data pages
// read theirs after their records; the mail kind has a page of its own.
// Private to the library.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gwclient/gwclient.h"

class CRelationSet {
 public:
  // missingError: what RemovePair sets for an id it holds no pair of (and
  // for id 0); GWERR_NONE leaves the last error as it was.
  explicit CRelationSet(DWORD missingError) : m_dwMissingError(missingError) {}

  // Forgets every pair, the time stamp and the changes. Never allocates.
  void Clear() noexcept;
  // One line of relation data: without a comma the time stamp ("ts.N"),
  // else a pair "server,handheld" (digits only). Any other line is skipped.
  // Throws std::bad_alloc with nothing changed.
  void ParseLine(const std::string& line);

  // The cursor: the first pair (null when none), then the next ones.
  __REL_DATA* First();
  __REL_DATA* Next();
  long Count() const { return static_cast<long>(m_Pairs.size()); }
  // Replaces the handheld id of the first pair of serverId, else appends a
  // pair. loaded: whether the page is (error 13 when not); an id 0 is error
  // 16, memory error 1. 1 or 0.
  int SetPair(bool loaded, DWORD serverId, DWORD handheldId);
  // Drops the first pair of serverId; 1, or 0 with the missing error.
  int RemovePair(DWORD serverId);
  // The handheld id of the first pair of serverId; 0 when none.
  DWORD HandheldOf(DWORD serverId);

  LONG TimeStamp() const { return m_TimeStamp; }
  // Error 13 unless loaded. 1 or 0.
  int SetTimeStamp(bool loaded, long timeStamp);
  // The first line of a commit reply: the time stamp the server stored.
  void ReadCommitStamp(const std::string& line);
  // Appends "&rt=ts.<stamp>" and "&i=<server>&s=<handheld>" for every pair.
  void WriteCommit(std::string& body) const;
  // The stamp line a commit is answered with ("-1" is stamped now).
  std::string StampReply() const;

  // Makes ready count pairs for a commit reply, which may then add them
  // without allocating. Throws std::bad_alloc.
  void Reserve(size_t count);
  // Appends a pair a commit reply named, from those made ready (another one
  // may throw std::bad_alloc).
  void AddFromReply(DWORD serverId, DWORD handheldId);
  // The run record's fields for the pairs set and removed since the last
  // commit; added counts pairs that the commit makes besides. Empty when
  // nothing changed.
  std::vector<std::string> RunRecordFields(const char* page, long added) const;
  // Ends a successful commit: the changes were sent.
  void Committed() noexcept;

  const std::vector<std::unique_ptr<__REL_DATA>>& Pairs() const { return m_Pairs; }

 private:
  // Appends a pair; throws std::bad_alloc with nothing changed.
  void Append(DWORD serverId, DWORD handheldId);
  // Position of the first pair of serverId, or -1.
  long IndexOf(DWORD serverId);

  DWORD m_dwMissingError;
  LONG m_TimeStamp = 0;
  std::vector<std::unique_ptr<__REL_DATA>> m_Pairs;
  size_t m_Pos = SIZE_MAX;  // next pair of Next; SIZE_MAX before First
  long m_SetCount = 0;
  long m_RemovedCount = 0;
  // The first pair of each server id, so that a lookup does not scan the
  // pairs (a sync would cost the square of their number). Rebuilt when it
  // went stale (a pair removed, or pairs added where nothing may fail); a
  // rebuild that cannot be had falls back to a scan.
  std::unordered_map<DWORD, size_t> m_Index;
  bool m_bIndexStale = false;
  // Pairs made ready for a commit reply (see Reserve).
  std::vector<std::unique_ptr<__REL_DATA>> m_Spare;
};
