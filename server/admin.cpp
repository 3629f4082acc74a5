#include "server/admin.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

#include "server/service.h"
#include "server/wire.h"

namespace gwserver {

namespace {

const char kHeader[] = "gwserver-export 1";

bool isTrail(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

// Whether text[i] begins a two-byte Shift-JIS character: its second byte is
// copied as it is, never read as an escape.
bool isSjisPair(const std::string& text, size_t i) {
  return isSjisLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
         isTrail(static_cast<unsigned char>(text[i + 1]));
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    size_t tab = line.find('\t', pos);
    out.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
    if (tab == std::string::npos) break;
    pos = tab + 1;
  }
  return out;
}

// The table a relation's server ids belong to: the data page's, or mail.
std::string tableOfApp(const std::string& app) {
  if (app == "SyncAddress") return "cards";
  if (app == "SyncMemo") return "memos";
  if (app == "SyncCalendar") return "schedules";
  if (app == "SyncToDo") return "todos";
  return "mails";
}

class Importer {
 public:
  Importer(Db& db, uint32_t user) : db_(db), user_(user) {}

  void line(int number, const std::string& text) {
    number_ = number;
    if (text.empty() || text[0] == '#') return;
    std::vector<std::string> f = splitTabs(text);
    for (auto& field : f) field = unescapeField(field);
    const std::string& kind = f[0];
    using Reader = void (Importer::*)(const std::vector<std::string>&);
    static const std::pair<const char*, Reader> kReaders[] = {
        {"memo", &Importer::memo}, {"card", &Importer::card},         {"schedule", &Importer::schedule},
        {"todo", &Importer::todo}, {"category", &Importer::category}, {"mail", &Importer::mail},
        {"sent", &Importer::sent}, {"relation", &Importer::relation},
    };
    for (const auto& [name, read] : kReaders)
      if (kind == name) return (this->*read)(f);
    fail("unknown record kind '" + kind + "'");
  }

  // Relation pairs are stored last, when every record's id is known.
  void finish() {
    for (auto& r : relations_) {
      Stmt t(db_, "INSERT OR REPLACE INTO relations(user_id, label, app, ts) VALUES(?, ?, ?, ?)");
      t.bind(1, user_).bind(2, r.label).bind(3, r.app).bind(4, r.ts).run();
      Stmt d(db_, "DELETE FROM relation_pairs WHERE user_id = ? AND label = ? AND app = ?");
      d.bind(1, user_).bind(2, r.label).bind(3, r.app).run();
      const auto& ids = idMap_[tableOfApp(r.app)];
      int64_t pos = 0;
      for (auto [server, handheld] : r.pairs) {
        auto it = ids.find(server);
        if (it != ids.end()) server = it->second;
        Stmt i(db_,
               "INSERT INTO relation_pairs(user_id, label, app, pos, server_id, handheld_id) VALUES(?, ?, ?, ?, ?, ?)");
        i.bind(1, user_).bind(2, r.label).bind(3, r.app).bind(4, pos++).bind(5, server).bind(6, handheld).run();
      }
    }
  }

 private:
  struct PendingRelation {
    std::string label, app;
    int64_t ts;
    std::vector<std::pair<int64_t, int64_t>> pairs;
  };

  [[noreturn]] void fail(const std::string& why) { throw AdminError("line " + std::to_string(number_) + ": " + why); }

  void need(const std::vector<std::string>& f, size_t n) {
    if (f.size() != n) fail(f[0] + " needs " + std::to_string(n) + " fields, has " + std::to_string(f.size()));
  }

  int64_t number(const std::string& s, const char* what) {
    auto v = parseSigned(s);
    if (!v) fail(std::string("bad ") + what + " '" + s + "'");
    return *v;
  }

  // "-" stamps the record now.
  int64_t stampOf(const std::string& s) {
    if (s == "-") {
      if (!stamp_) stamp_ = recordStamp(db_);
      return stamp_;
    }
    int64_t v = number(s, "time stamp");
    if (v < 0) fail("negative time stamp");
    return v;
  }

  // Dates and times are stored in the form the pages send them.
  std::string date(const std::string& s) {
    auto d = parseStoredDate(s);
    if (!d) fail("bad date '" + s + "' (year/month/day)");
    return formatDate(*d);
  }

  std::string time(const std::string& s) {
    auto t = parseStoredTime(s);
    if (!t) fail("bad time '" + s + "' (hour:minute)");
    return formatTime(*t);
  }

  std::string text(const std::string& s, const char* what) {
    if (s.find('\0') != std::string::npos) fail(std::string("NUL in ") + what);
    return s;
  }

  // Inserts with the file's id when it is free in that table, else a new one,
  // and remembers the mapping for the relation lines.
  int64_t insert(const std::string& table, const std::string& idText, const std::string& columns,
                 const std::vector<std::pair<bool, std::string>>& values, const std::vector<int64_t>& numbers) {
    int64_t fileId = idText == "-" ? 0 : number(idText, "id");
    if (fileId < 0) fail("negative id");
    bool keep = fileId > 0 && claimRecordId(db_, fileId);
    std::string marks = "?, ?";
    for (size_t i = 0; i < values.size() + numbers.size(); ++i) marks += ", ?";
    std::string sql = "INSERT INTO " + table + "(id, user_id, " + columns + ") VALUES(" + marks + ")";
    Stmt ins(db_, sql.c_str());
    ins.bind(1, keep ? fileId : nextRecordId(db_));
    ins.bind(2, user_);
    int i = 3;
    for (int64_t n : numbers) ins.bind(i++, n);
    for (const auto& [isNull, v] : values) {
      if (isNull) ins.bindNull(i++);
      else ins.bind(i++, v);
    }
    ins.run();
    int64_t id = db_.lastInsertId();
    if (fileId > 0) idMap_[table][fileId] = id;
    return id;
  }

  static std::pair<bool, std::string> v(const std::string& s) { return {false, s}; }

  void memo(const std::vector<std::string>& f) {
    need(f, 5);
    if (f[3].empty()) fail("memo without a name");
    insert("memos", f[1], "ts, name, data", {v(text(f[3], "name")), v(text(f[4], "data"))}, {stampOf(f[2])});
  }

  void card(const std::vector<std::string>& f) {
    if (f.size() < 5) fail("card needs at least 5 fields");
    int64_t id =
        insert("cards", f[1], "ts, kind, category", {v(text(f[4], "category"))}, {stampOf(f[2]), number(f[3], "kind")});
    for (size_t k = 5; k < f.size(); ++k) {
      size_t eq = f[k].find('=');
      if (eq == std::string::npos) fail("card value without '=': " + f[k]);
      int64_t item = number(f[k].substr(0, eq), "address item");
      bool known = item <= -1 && item >= -11;
      if (item > 0) {
        Stmt s(db_, "SELECT 1 FROM address_items WHERE id = ?");
        s.bind(1, item);
        known = s.step();
      }
      if (!known) fail("no address item " + std::to_string(item));
      std::string value = text(f[k].substr(eq + 1), "value");
      if (value.empty()) continue;
      Stmt i(db_, "INSERT OR REPLACE INTO card_values(card_id, item_id, value) VALUES(?, ?, ?)");
      i.bind(1, id).bind(2, item).bind(3, value).run();
    }
  }

  void schedule(const std::vector<std::string>& f) {
    if (f.size() == 15) {  // the exception dates may be left off
      std::vector<std::string> full = f;
      full.emplace_back();
      return schedule(full);
    }
    need(f, 16);
    static const std::vector<std::string> types = {"", "d", "n", "w", "m", "1", "2", "3", "4", "l"};
    if (std::find(types.begin(), types.end(), f[8]) == types.end()) fail("unknown repeat type '" + f[8] + "'");
    std::pair<bool, std::string> day =
        f[9].empty() ? std::make_pair(true, std::string()) : v(std::to_string(number(f[9], "day")));
    std::string exceptions;
    std::stringstream ex(f[15]);
    std::string one;
    while (std::getline(ex, one, ',')) {
      if (one.empty()) continue;
      auto d = parseStoredDate(one);
      if (!d) fail("bad exception date '" + one + "'");
      exceptions += (exceptions.empty() ? "" : ",") + formatDate(*d);
    }
    // The day is a number (or NULL) in the table, so it is set apart from the texts.
    int64_t id = insert("schedules", f[1],
                        "ts, private, banner, valid_date, set_date, end_date, set_time, end_time, type, event, detail, "
                        "memo, exceptions",
                        {v(date(f[3])), v(date(f[4])), v(date(f[5])), v(time(f[6])), v(time(f[7])), v(f[8]),
                         v(text(f[12], "event")), v(text(f[13], "detail")), v(text(f[14], "memo")), v(exceptions)},
                        {stampOf(f[2]), number(f[10], "private mark") != 0, number(f[11], "banner mark") != 0});
    Stmt d(db_, "UPDATE schedules SET day = ? WHERE id = ?");
    if (day.first) d.bindNull(1);
    else d.bind(1, number(day.second, "day"));
    d.bind(2, id).run();
  }

  void todo(const std::vector<std::string>& f) {
    need(f, 10);
    if (f[8].empty()) fail("to-do without a name");
    insert("todos", f[1], "ts, priority, finish, limit_date, end_date, category, name, memo",
           {v(date(f[3])), v(date(f[6])), v(text(f[7], "category")), v(text(f[8], "name")), v(text(f[9], "memo"))},
           {stampOf(f[2]), number(f[4], "priority"), number(f[5], "finish mark") != 0});
  }

  void category(const std::vector<std::string>& f) {
    need(f, 2);
    if (f[1].empty() || f[1].find_first_of("\r\n") != std::string::npos) fail("bad category name");
    Stmt s(db_, "SELECT 1 FROM todo_categories WHERE user_id = ? AND name = ?");
    s.bind(1, user_).bind(2, f[1]);
    if (s.step()) return;
    Stmt i(db_,
           "INSERT INTO todo_categories(user_id, pos, name) "
           "VALUES(?1, (SELECT COALESCE(MAX(pos) + 1, 0) FROM todo_categories WHERE user_id = ?1), ?2)");
    i.bind(1, user_).bind(2, f[1]).run();
  }

  void mail(const std::vector<std::string>& f) {
    need(f, 13);
    if (f[5].empty() && f[12].empty()) fail("mail without subject and body");
    std::vector<std::pair<bool, std::string>> texts;
    for (int k = 5; k <= 12; ++k) texts.push_back(v(text(f[k], "mail field")));
    insert("mails", f[1], "ts, sent, read, subject, sender, rcpt_to, rcpt_cc, rcpt_bcc, reply_to, content_type, body",
           texts, {stampOf(f[2]), stampOf(f[3]), number(f[4], "read mark") != 0});
  }

  void sent(const std::vector<std::string>& f) {
    need(f, 7);
    Stmt i(db_,
           "INSERT INTO outbox(user_id, ts, subject, rcpt_to, rcpt_cc, rcpt_bcc, body) VALUES(?, ?, ?, ?, ?, ?, ?)");
    i.bind(1, user_).bind(2, stampOf(f[1]));
    for (int k = 2; k <= 6; ++k) i.bind(k + 1, text(f[k], "mail field"));
    i.run();
  }

  void relation(const std::vector<std::string>& f) {
    if (f.size() < 4) fail("relation needs label, app and time stamp");
    if (f[2].empty()) fail("relation without app");
    PendingRelation r{f[1], f[2], stampOf(f[3]), {}};
    for (size_t k = 4; k < f.size(); ++k) {
      size_t colon = f[k].find(':');
      auto server = parseUnsigned(f[k].substr(0, colon));
      auto handheld = colon == std::string::npos ? std::nullopt : parseUnsigned(f[k].substr(colon + 1));
      if (!server || !handheld || !*server || !*handheld) fail("bad relation pair '" + f[k] + "'");
      r.pairs.emplace_back(*server, *handheld);
    }
    relations_.push_back(std::move(r));
  }

  Db& db_;
  uint32_t user_;
  int number_ = 0;
  int64_t stamp_ = 0;
  std::map<std::string, std::map<int64_t, int64_t>> idMap_;
  std::vector<PendingRelation> relations_;
};

std::string tsText(int64_t ts) { return std::to_string(ts); }

}  // namespace

std::string escapeField(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (isSjisPair(text, i)) {
      out += text[i];
      out += text[++i];
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string unescapeField(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (isSjisPair(text, i)) {
      out += text[i];
      out += text[++i];
    } else if (c == '\\' && i + 1 < text.size()) {
      char n = text[++i];
      out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += text[i];
    }
  }
  return out;
}

void initDatabase(const std::string& path) { Db db(path, true); }

uint32_t addUser(Db& db, const std::string& name, const std::string& password) {
  if (name.empty() || name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw AdminError("a user name must be one non-empty line");
  std::string hash = hashPassword(password);  // slow by design: not inside the write lock
  Transaction tx(db, true);
  Stmt exists(db, "SELECT 1 FROM users WHERE name = ?");
  exists.bind(1, name);
  if (exists.step()) throw AdminError("there is already a user named " + name);
  Stmt s(db, "INSERT INTO users(name, salt, hash) VALUES(?, ?, ?)");
  s.bind(1, name).bind(2, std::string_view()).bind(3, hash).run();
  uint32_t id = static_cast<uint32_t>(db.lastInsertId());
  tx.commit();
  return id;
}

uint32_t userId(Db& db, const std::string& name) {
  Stmt s(db, "SELECT id FROM users WHERE name = ?");
  s.bind(1, name);
  if (!s.step()) throw AdminError("no user named " + name);
  return static_cast<uint32_t>(s.integer(0));
}

void setPassword(Db& db, const std::string& name, const std::string& password) {
  std::string hash = hashPassword(password);
  Stmt s(db, "UPDATE users SET salt = ?, hash = ? WHERE name = ?");
  s.bind(1, std::string_view()).bind(2, hash).bind(3, name).run();
  if (db.changes() == 0) throw AdminError("no user named " + name);
}

UserData userData(Db& db, const std::string& name) {
  UserData d;
  d.id = userId(db, name);
  for (const char* table : {"cards", "memos", "schedules", "todos", "mails"}) {
    Stmt s(db, (std::string("SELECT COUNT(*) FROM ") + table + " WHERE user_id = ?").c_str());
    s.bind(1, d.id);
    if (s.step()) d.records += s.integer(0);
  }
  Stmt r(db, "SELECT COUNT(*) FROM relation_pairs WHERE user_id = ?");
  r.bind(1, d.id);
  if (r.step()) d.relations = r.integer(0);
  return d;
}

void deleteUser(Db& db, const std::string& name) {
  Transaction tx(db, true);
  uint32_t id = userId(db, name);
  Stmt v(db, "DELETE FROM card_values WHERE card_id IN (SELECT id FROM cards WHERE user_id = ?)");
  v.bind(1, id).run();
  for (const char* table :
       {"cards", "memos", "schedules", "todos", "todo_categories", "mails", "outbox", "relations", "relation_pairs"}) {
    Stmt d(db, (std::string("DELETE FROM ") + table + " WHERE user_id = ?").c_str());
    d.bind(1, id).run();
  }
  Stmt u(db, "DELETE FROM users WHERE id = ?");
  u.bind(1, id).run();
  tx.commit();
}

void setMaySync(Db& db, const std::string& name, bool maySync) {
  Stmt s(db, "UPDATE users SET may_sync = ? WHERE name = ?");
  s.bind(1, maySync ? 1 : 0).bind(2, name).run();
  if (db.changes() == 0) throw AdminError("no user named " + name);
}

uint32_t addItem(Db& db, const std::string& name, const std::string& type) {
  if (name.empty() || name.find_first_of("\r\n") != std::string::npos)
    throw AdminError("an item name must be one non-empty line");
  if (type != "Text" && type != "File") throw AdminError("an item type is Text or File");
  Stmt s(db, "INSERT INTO address_items(name, type) VALUES(?, ?)");
  s.bind(1, name).bind(2, type).run();
  return static_cast<uint32_t>(db.lastInsertId());
}

void setSettings(Db& db, const std::string& device, std::istream& in) {
  if (device != "None" && device != "Palm" && device != "PocketPC" && device != "Zaurus")
    throw AdminError("the device type is one of None, Palm, PocketPC, Zaurus");
  std::string lines, line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string key = line.substr(0, line.find(','));
    if (key != "s" && key != "t" && key != "a" && key != "w" && key != "m")
      throw AdminError("line " + std::to_string(number) + ": unknown settings key '" + key + "' (s, t, a, w or m)");
    lines += line + "\n";
  }
  Stmt s(db, "INSERT OR REPLACE INTO settings(device, lines) VALUES(?, ?)");
  s.bind(1, device).bind(2, lines).run();
}

void exportUser(Db& db, const std::string& name, std::ostream& out) {
  Transaction tx(db, false);
  uint32_t user = userId(db, name);
  auto e = [](const std::string& s) { return escapeField(s); };
  out << kHeader << "\n";
  {
    Stmt s(db, "SELECT id, ts, name, data FROM memos WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    while (s.step())
      out << "memo\t" << s.integer(0) << "\t" << s.integer(1) << "\t" << e(s.text(2)) << "\t" << e(s.text(3)) << "\n";
  }
  {
    Stmt s(db, "SELECT id, ts, kind, category FROM cards WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    Stmt v(db, "SELECT item_id, value FROM card_values WHERE card_id = ? ORDER BY item_id > 0, abs(item_id)");
    while (s.step()) {
      out << "card\t" << s.integer(0) << "\t" << s.integer(1) << "\t" << s.integer(2) << "\t" << e(s.text(3));
      v.reset();
      v.bind(1, s.integer(0));
      while (v.step()) out << "\t" << v.integer(0) << "=" << e(v.text(1));
      out << "\n";
    }
  }
  {
    Stmt s(db,
           "SELECT id, ts, valid_date, set_date, end_date, set_time, end_time, type, day, private, banner, event, "
           "detail, memo, exceptions FROM schedules WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    while (s.step()) {
      out << "schedule\t" << s.integer(0) << "\t" << s.integer(1);
      for (int c = 2; c <= 7; ++c) out << "\t" << s.text(c);
      out << "\t" << (s.isNull(8) ? std::string() : std::to_string(s.integer(8))) << "\t" << s.integer(9) << "\t"
          << s.integer(10);
      for (int c = 11; c <= 13; ++c) out << "\t" << e(s.text(c));
      out << "\t" << s.text(14) << "\n";
    }
  }
  {
    Stmt s(db,
           "SELECT id, ts, limit_date, priority, finish, end_date, category, name, memo FROM todos "
           "WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    while (s.step())
      out << "todo\t" << s.integer(0) << "\t" << s.integer(1) << "\t" << s.text(2) << "\t" << s.integer(3) << "\t"
          << s.integer(4) << "\t" << s.text(5) << "\t" << e(s.text(6)) << "\t" << e(s.text(7)) << "\t" << e(s.text(8))
          << "\n";
  }
  {
    Stmt s(db, "SELECT name FROM todo_categories WHERE user_id = ? ORDER BY pos");
    s.bind(1, user);
    while (s.step()) out << "category\t" << e(s.text(0)) << "\n";
  }
  {
    Stmt s(db,
           "SELECT id, ts, sent, read, subject, sender, rcpt_to, rcpt_cc, rcpt_bcc, reply_to, content_type, body "
           "FROM mails WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    while (s.step()) {
      out << "mail\t" << s.integer(0) << "\t" << s.integer(1) << "\t" << s.integer(2) << "\t" << s.integer(3);
      for (int c = 4; c <= 11; ++c) out << "\t" << e(s.text(c));
      out << "\n";
    }
  }
  {
    Stmt s(db, "SELECT ts, subject, rcpt_to, rcpt_cc, rcpt_bcc, body FROM outbox WHERE user_id = ? ORDER BY id");
    s.bind(1, user);
    while (s.step()) {
      out << "sent\t" << tsText(s.integer(0));
      for (int c = 1; c <= 5; ++c) out << "\t" << e(s.text(c));
      out << "\n";
    }
  }
  {
    Stmt s(db, "SELECT label, app, ts FROM relations WHERE user_id = ? ORDER BY label, app");
    s.bind(1, user);
    Stmt p(
        db,
        "SELECT server_id, handheld_id FROM relation_pairs WHERE user_id = ? AND label = ? AND app = ? ORDER BY pos");
    while (s.step()) {
      out << "relation\t" << e(s.text(0)) << "\t" << e(s.text(1)) << "\t" << s.integer(2);
      p.reset();
      p.bind(1, user).bind(2, s.text(0)).bind(3, s.text(1));
      while (p.step()) out << "\t" << p.integer(0) << ":" << p.integer(1);
      out << "\n";
    }
  }
}

int importUser(Db& db, const std::string& name, std::istream& in, bool replace) {
  Transaction tx(db, true);
  uint32_t user = userId(db, name);
  std::string line;
  if (!std::getline(in, line) || (line != kHeader && line != std::string(kHeader) + "\r"))
    throw AdminError(std::string("line 1: the file does not begin with '") + kHeader + "'");
  if (replace) {
    for (const char* sql : {"DELETE FROM card_values WHERE card_id IN (SELECT id FROM cards WHERE user_id = ?)",
                            "DELETE FROM cards WHERE user_id = ?", "DELETE FROM memos WHERE user_id = ?",
                            "DELETE FROM schedules WHERE user_id = ?", "DELETE FROM todos WHERE user_id = ?",
                            "DELETE FROM todo_categories WHERE user_id = ?", "DELETE FROM mails WHERE user_id = ?",
                            "DELETE FROM outbox WHERE user_id = ?", "DELETE FROM relations WHERE user_id = ?",
                            "DELETE FROM relation_pairs WHERE user_id = ?"}) {
      Stmt s(db, sql);
      s.bind(1, user).run();
    }
  }
  Importer importer(db, user);
  int number = 1;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    importer.line(number, line);
  }
  importer.finish();
  tx.commit();
  return number;
}

}  // namespace gwserver
