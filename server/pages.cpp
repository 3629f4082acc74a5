#include "server/pages.h"

#include <algorithm>
#include <array>
#include <climits>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "server/service.h"

namespace gwserver::pages {

const BuiltinItem kBuiltinItems[11] = {
    {-1, "FirstName", "First name"},
    {-2, "LastName", "Last name"},
    {-3, "Post", "Post"},
    {-4, "City", "City"},
    {-5, "State", "State"},
    {-6, "Country", "Country"},
    {-7, "Address", "Address"},
    {-8, "Zip", "Zip"},
    {-9, "Tel", "Tel"},
    {-10, "Mail", "Mail"},
    {-11, "Memo", "Memo"},
};

namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
using Value = std::variant<std::monostate, int64_t, std::string>;

[[noreturn]] void malformed(std::string why) { throw Refusal(kErrMalformed, 0, std::move(why)); }

std::string stamp(int64_t ts) { return "ts." + std::to_string(ts); }

// ---- relation data ----

struct Relation {
  int64_t ts = 0;
  Pairs pairs;
};

Relation loadRelation(Db& db, uint32_t user, const std::string& label, const std::string& app) {
  Relation rel;
  Stmt t(db, "SELECT ts FROM relations WHERE user_id = ? AND label = ? AND app = ?");
  t.bind(1, user).bind(2, label).bind(3, app);
  if (t.step()) rel.ts = t.integer(0);
  Stmt p(db,
         "SELECT server_id, handheld_id FROM relation_pairs WHERE user_id = ? AND label = ? AND app = ? "
         "ORDER BY pos");
  p.bind(1, user).bind(2, label).bind(3, app);
  while (p.step()) rel.pairs.emplace_back(static_cast<uint32_t>(p.integer(0)), static_cast<uint32_t>(p.integer(1)));
  return rel;
}

// A pair may name a record that is gone (the client learns of it later), but
// never one of another user: that is refused like a change of that record.
// Ids are unique across kinds, so every table is looked in; pairs already
// stored were looked at when they came.
void refuseOthersRecords(Db& db, uint32_t user, const Pairs& pairs, const Pairs& before) {
  std::set<uint32_t> known;
  for (const auto& p : before) known.insert(p.first);
  std::vector<std::unique_ptr<Stmt>> owners;
  for (const auto& [server, handheld] : pairs) {
    if (known.count(server)) continue;
    if (owners.empty()) {
      for (const char* table : {"cards", "memos", "schedules", "todos", "mails"}) {
        // A table that is lost holds nobody's records: the other kinds go on.
        try {
          owners.push_back(
              std::make_unique<Stmt>(db, (std::string("SELECT user_id FROM ") + table + " WHERE id = ?").c_str()));
        } catch (const StoreError&) {
        }
      }
    }
    for (auto& owner : owners) {
      owner->reset();
      owner->bind(1, server);
      if (owner->step() && owner->integer(0) != user)
        throw Refusal(kErrUnknownId, 0,
                      "relation pair " + std::to_string(server) + "," + std::to_string(handheld) +
                          " names another user's record");
    }
    known.insert(server);
  }
}

// Every commit sends all the pairs, and mostly they are the ones stored:
// only the positions whose pair changed are written, new ones appended and
// the ones past the end removed.
void storeRelation(Db& db, uint32_t user, const std::string& label, const std::string& app, const Relation& rel) {
  const Pairs before = loadRelation(db, user, label, app).pairs;
  refuseOthersRecords(db, user, rel.pairs, before);
  Stmt t(db, "INSERT OR REPLACE INTO relations(user_id, label, app, ts) VALUES(?, ?, ?, ?)");
  t.bind(1, user).bind(2, label).bind(3, app).bind(4, rel.ts).run();
  Stmt u(db,
         "UPDATE relation_pairs SET server_id = ?, handheld_id = ? WHERE user_id = ? AND label = ? AND app = ? "
         "AND pos = ?");
  Stmt i(db, "INSERT INTO relation_pairs(user_id, label, app, pos, server_id, handheld_id) VALUES(?, ?, ?, ?, ?, ?)");
  for (size_t pos = 0; pos < rel.pairs.size(); ++pos) {
    const auto& [server, handheld] = rel.pairs[pos];
    const auto at = static_cast<int64_t>(pos);
    if (pos < before.size()) {
      if (before[pos] == rel.pairs[pos]) continue;
      u.reset();
      u.bind(1, server).bind(2, handheld).bind(3, user).bind(4, label).bind(5, app).bind(6, at).run();
    } else {
      i.reset();
      i.bind(1, user).bind(2, label).bind(3, app).bind(4, at).bind(5, server).bind(6, handheld).run();
    }
  }
  if (before.size() > rel.pairs.size()) {
    Stmt d(db, "DELETE FROM relation_pairs WHERE user_id = ? AND label = ? AND app = ? AND pos >= ?");
    d.bind(1, user).bind(2, label).bind(3, app).bind(4, static_cast<int64_t>(rel.pairs.size())).run();
  }
}

void appendPairs(std::string& out, const Relation& rel) {
  out += stamp(rel.ts) + "\n";
  for (const auto& [server, handheld] : rel.pairs)
    out += std::to_string(server) + "," + std::to_string(handheld) + "\n";
}

// The relation section that ends every data page.
void appendRelationSection(std::string& out, const Relation& rel) {
  out += "\nrelation\n";
  appendPairs(out, rel);
}

// "rt=ts.N" of a commit: N stored as sent, -1 stamped now.
int64_t relationTime(Db& db, const std::string& rt) {
  auto v = parseStamp(rt);
  if (!v || *v < -1) malformed("bad relation time stamp");
  return *v == -1 ? relationStamp(db) : *v;
}

std::string labelOf(const Form& form) { return formValue(form, "label").value_or(""); }

// ---- data-page commit bodies ----

// One record of a commit body: its id and the fields that follow it.
struct Group {
  uint32_t id = 0;
  std::vector<const FormField*> fields;
};

struct DataCommit {
  std::vector<uint32_t> removals;
  std::vector<Group> changes;
  std::vector<Group> news;
  std::string rt;
  Pairs pairs;
};

// The relation pairs that end a commit body from fields[from] on: "i" the
// server id, then "s" the handheld id, neither 0.
Pairs parsePairs(const std::vector<const FormField*>& fields, size_t from) {
  Pairs pairs;
  for (size_t i = from; i < fields.size(); i += 2) {
    if (fields[i]->key != "i" || i + 1 >= fields.size() || fields[i + 1]->key != "s") malformed("bad relation pair");
    auto server = parseUnsigned(fields[i]->value);
    auto handheld = parseUnsigned(fields[i + 1]->value);
    if (!server || !handheld || *server == 0 || *handheld == 0) malformed("bad relation pair");
    pairs.emplace_back(*server, *handheld);
  }
  return pairs;
}

bool isFrameKey(const std::string& key) {
  return key == "page" || key == "label" || key == "sync" || key == "remote" || key == "rw";
}

// Reads the order-dependent body: records up to the end marker "i=0" that is
// directly followed by "rt=", then the relation pairs. An "i" directly
// followed by another "i" (for the calendar: with only "pd") is a removal.
DataCommit parseDataCommit(const Form& form, bool calendar) {
  std::vector<const FormField*> fields;
  for (const auto& f : form) {
    if (!f.hasEquals) malformed("piece without '='");
    if (!isFrameKey(f.key)) fields.push_back(&f);
  }
  DataCommit out;
  size_t i = 0;
  bool ended = false;
  while (i < fields.size()) {
    if (fields[i]->key != "i") malformed("record does not begin with i");
    auto id = parseUnsigned(fields[i]->value);
    if (!id) malformed("bad record id");
    Group g{*id, {}};
    ++i;
    while (i < fields.size() && fields[i]->key != "i" && fields[i]->key != "rt") g.fields.push_back(fields[i++]);
    if (i < fields.size() && fields[i]->key == "rt") {
      if (g.id != 0 || !g.fields.empty()) malformed("no end marker before rt");
      out.rt = fields[i++]->value;
      ended = true;
      break;
    }
    if (i == fields.size()) malformed("body ends before the end marker");
    bool onlyPd = calendar && g.fields.size() == 1 && g.fields[0]->key == "pd";
    if (g.id != 0 && (g.fields.empty() || onlyPd)) {
      if (onlyPd && !parseCommitDate(g.fields[0]->value)) malformed("bad pd");
      out.removals.push_back(g.id);
    } else if (g.id != 0) {
      out.changes.push_back(std::move(g));
    } else {
      out.news.push_back(std::move(g));
    }
  }
  if (!ended) malformed("no end marker");
  out.pairs = parsePairs(fields, i);
  return out;
}

// ---- column tables ----

// How a stored value is written on a fetched line.
enum class Shown {
  Raw,            // text as stored: dates, times, repeat types
  Quoted,         // text through quoteField
  Number,         // an integer
  NumberOrEmpty,  // an integer, nothing when NULL
  Flag,           // "1" or nothing
  Stamp,          // "ts.N"
  List,           // comma-separated text that ends the line: not even its comma when empty
};

// One stored column of a kind (besides id, user_id and ts): the commit key
// that sets it and how that key's value is read, what is stored when a
// commit leaves the key out, and how a fetch shows the value. The table
// order is the order of the fields on a fetched line.
struct Column {
  const char* name;
  const char* key;  // nullptr: the client never sends it
  Value (*read)(const FormField&) = nullptr;
  Value missing = {};  // monostate: NULL
  Shown shown = Shown::Raw;
  const char* required = nullptr;  // refusal when the text is still empty
  bool repeats = false;            // every key adds to a comma-separated list
};
using Columns = std::vector<Column>;

size_t columnIndex(const Columns& columns, std::string_view name) {
  for (size_t i = 0; i < columns.size(); ++i)
    if (name == columns[i].name) return i;
  throw std::logic_error("no column " + std::string(name));
}

// A record's fields read into the values of its table's columns.
struct Row {
  const Columns* layout = nullptr;
  std::vector<Value> columns;
  std::map<int, std::string> items;  // address item values
  uint32_t key = 0;                  // "s" of a new record

  Value& operator[](std::string_view name) { return columns[columnIndex(*layout, name)]; }
};

// How one data kind is stored and read from a commit.
struct Kind {
  const char* page;
  const char* table;
  const Columns* columns;
  bool calendar;
  void (*other)(const FormField& f, Row& row);  // a key none of the columns has
  void (*complete)(Row& row);                   // derives columns once all fields are read; may be nullptr
  void (*fetch)(Db& db, uint32_t user, const Kind& kind, const Form& form, std::string& out);
};

uint32_t keyOf(const FormField& f) {
  auto v = parseUnsigned(f.value);
  if (!v) malformed("bad s");
  return *v;
}

Value dateValue(const FormField& f) {
  auto d = parseCommitDate(f.value);
  if (!d) malformed("bad date in " + f.key);
  return formatDate(*d);
}

Value timeValue(const FormField& f) {
  auto t = parseCommitTime(f.value);
  if (!t) malformed("bad time in " + f.key);
  return formatTime(*t);
}

Value flagValue(const FormField& f) {
  if (f.value != "0" && f.value != "1") malformed("bad flag " + f.key);
  return int64_t{f.value == "1"};
}

Value numberValue(const FormField& f) {
  auto v = parseSigned(f.value);
  if (!v) malformed("bad number in " + f.key);
  return int64_t{*v};
}

Value textValue(const FormField& f) { return f.value; }

std::string textOr(const Value& v) { return std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : ""; }

// Reads a record of a commit by its kind's column table: "s" is the client's
// key of a new record, other keys not in the table go to the kind.
Row parseRow(const Kind& kind, const Group& g) {
  const Columns& columns = *kind.columns;
  Row row;
  row.layout = &columns;
  row.columns.assign(columns.size(), Value{});
  for (const FormField* f : g.fields) {
    if (f->key == "s") {
      row.key = keyOf(*f);
      continue;
    }
    auto c =
        std::find_if(columns.begin(), columns.end(), [f](const Column& col) { return col.key && f->key == col.key; });
    if (c == columns.end()) {
      kind.other(*f, row);
      continue;
    }
    Value v = c->read(*f);
    Value& at = row.columns[static_cast<size_t>(c - columns.begin())];
    if (c->repeats && std::holds_alternative<std::string>(at)) {
      std::string& list = std::get<std::string>(at);
      if (!list.empty()) list += ",";
      list += textOr(v);
    } else {
      at = std::move(v);
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (std::holds_alternative<std::monostate>(row.columns[i])) row.columns[i] = columns[i].missing;
    if (columns[i].required && textOr(row.columns[i]).empty()) malformed(columns[i].required);
  }
  if (kind.complete) kind.complete(row);
  return row;
}

[[noreturn]] void unknownKey(const FormField& f, Row&) { malformed("unknown key " + f.key); }

// "SELECT id, ts, <columns> FROM <table> WHERE user_id = ?<also> ORDER BY id"
std::string selectRecords(const char* table, const Columns& columns, const char* also = "") {
  std::string sql = "SELECT id, ts";
  for (const Column& c : columns) sql += std::string(", ") + c.name;
  return sql + " FROM " + table + " WHERE user_id = ?" + also + " ORDER BY id";
}

// The id, the stamp and the columns of the record `s` stands on, as a fetch
// shows them; without the line end.
void appendRecord(const Stmt& s, const Columns& columns, std::string& out) {
  out += std::to_string(s.integer(0)) + "," + stamp(s.integer(1));
  int at = 2;
  for (const Column& c : columns) {
    const int i = at++;
    switch (c.shown) {
      case Shown::Raw: out += "," + s.text(i); break;
      case Shown::Quoted: out += "," + quoteField(s.text(i)); break;
      case Shown::Number: out += "," + std::to_string(s.integer(i)); break;
      case Shown::NumberOrEmpty: out += "," + (s.isNull(i) ? std::string() : std::to_string(s.integer(i))); break;
      case Shown::Flag: out += s.integer(i) ? ",1" : ","; break;
      case Shown::Stamp: out += "," + stamp(s.integer(i)); break;
      case Shown::List:
        if (std::string list = s.text(i); !list.empty()) out += "," + list;
        break;
    }
  }
}

// Every record of the user in the kind's table, a line each.
void fetchRecords(Db& db, uint32_t user, const Kind& kind, const Form&, std::string& out) {
  Stmt s(db, selectRecords(kind.table, *kind.columns).c_str());
  s.bind(1, user);
  while (s.step()) {
    appendRecord(s, *kind.columns, out);
    out += "\n";
  }
}

// ---- memos ----

const Columns kMemoColumns = {
    {"name", "n", textValue, std::string(), Shown::Quoted, "memo without a name"},
    {"data", "d", textValue, std::string(), Shown::Quoted},
};

// ---- to-dos ----

const Columns kToDoColumns = {
    {"limit_date", "l", dateValue, std::string(), Shown::Raw},
    {"priority", "p", numberValue, int64_t{0}, Shown::Number},
    {"finish", "f", flagValue, int64_t{0}, Shown::Flag},
    {"end_date", "e", dateValue, std::string(), Shown::Raw},
    {"category", "c", textValue, std::string(), Shown::Quoted},
    {"name", "n", textValue, std::string(), Shown::Quoted, "to-do without a name"},
    {"memo", "m", textValue, std::string(), Shown::Quoted},
};

// ---- calendar ----

const char* const kRepeatNames[] = {"d", "n", "w", "m", "1", "2", "3", "4", "l"};

Value repeatValue(const FormField& f) {
  std::string name = f.value;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name.empty()) return std::string();
  for (const char* n : kRepeatNames)
    if (name == n) return name;
  malformed("unknown repeat type " + f.value);
}

Value exceptionValue(const FormField& f) {
  auto d = parseCommitDate(f.value);
  if (!d) malformed("bad exception date");
  return formatDate(*d);
}

const Columns kScheduleColumns = {
    {"valid_date", nullptr, nullptr, std::string(), Shown::Raw},
    {"set_date", "sd", dateValue, std::string(), Shown::Raw},
    {"end_date", "ed", dateValue, std::string(), Shown::Raw},
    {"set_time", "st", timeValue, std::string(), Shown::Raw},
    {"end_time", "et", timeValue, std::string(), Shown::Raw},
    {"type", "t", repeatValue, std::string(), Shown::Raw},
    {"day", "n", numberValue, {}, Shown::NumberOrEmpty},
    {"private", "p", flagValue, int64_t{0}, Shown::Flag},
    {"banner", "b", flagValue, int64_t{0}, Shown::Flag},
    {"event", "c", textValue, std::string(), Shown::Quoted},
    {"detail", "d", textValue, std::string(), Shown::Quoted},
    {"memo", "m", textValue, std::string(), Shown::Quoted},
    {"exceptions", "e", exceptionValue, std::string(), Shown::List, nullptr, true},
};

void scheduleKey(const FormField& f, Row&) {
  // The date the client knows the record by; records are named by id, so it
  // is only checked for form.
  if (f.key != "pd") malformed("unknown key " + f.key);
  if (!parseCommitDate(f.value)) malformed("bad pd");
}

// A repeating schedule is known by its valid date, which starts as its first day.
void completeSchedule(Row& row) {
  row["valid_date"] = textOr(row["type"]).empty() ? std::string() : textOr(row["set_date"]);
}

// ---- address cards ----

const Columns kCardColumns = {
    {"kind", "t", numberValue, int64_t{1}, Shown::Number},
    {"category", "g", textValue, std::string(), Shown::Quoted},
};

// Item ids are checked when the card is stored (CardValues::store).
void cardKey(const FormField& f, Row& r) {
  if (f.key == "c") {
    if (!parseUnsigned(f.value)) malformed("bad item count");
    return;
  }
  auto id = parseSigned(f.key);
  if (!id) malformed("unknown key " + f.key);
  r.items[*id] = f.value;
}

std::vector<int> addressColumns(Db& db) {
  std::vector<int> cols;
  for (const auto& b : kBuiltinItems) cols.push_back(b.id);
  Stmt s(db, "SELECT id FROM address_items ORDER BY id");
  while (s.step()) cols.push_back(static_cast<int>(s.integer(0)));
  return cols;
}

void fetchCards(Db& db, uint32_t user, const Kind& kind, const Form& form, std::string& out) {
  int64_t since = INT64_MIN;  // no filter: every card, also one stamped 0
  if (auto ts = formValue(form, "ts")) {
    auto v = parseStamp(*ts);
    if (!v) malformed("bad ts");
    since = *v;
  }
  std::vector<int> cols = addressColumns(db);
  out += "0,,,";
  for (int id : cols) {
    out += ",";
    if (id < 0) out += kBuiltinItems[-id - 1].name;
    else out += std::to_string(id);
  }
  out += "\n";
  std::map<int64_t, std::map<int, std::string>> values;
  Stmt v(db,
         "SELECT v.card_id, v.item_id, v.value FROM card_values v JOIN cards c ON c.id = v.card_id "
         "WHERE c.user_id = ? AND c.ts > ?");
  v.bind(1, user).bind(2, since);
  while (v.step()) values[v.integer(0)][static_cast<int>(v.integer(1))] = v.text(2);
  Stmt s(db, selectRecords(kind.table, *kind.columns, " AND ts > ?").c_str());
  s.bind(1, user).bind(2, since);
  while (s.step()) {
    appendRecord(s, *kind.columns, out);
    const auto& card = values[s.integer(0)];
    for (int id : cols) {
      out += ",";
      auto it = card.find(id);
      if (it != card.end() && !it->second.empty()) out += quoteField(it->second);
    }
    out += "\n";
  }
}

const Kind kKinds[] = {
    {"SyncMemo", "memos", &kMemoColumns, false, unknownKey, nullptr, fetchRecords},
    {"SyncToDo", "todos", &kToDoColumns, false, unknownKey, nullptr, fetchRecords},
    {"SyncCalendar", "schedules", &kScheduleColumns, true, scheduleKey, completeSchedule, fetchRecords},
    {"SyncAddress", "cards", &kCardColumns, false, cardKey, nullptr, fetchCards},
};

const Kind* kindOf(const std::string& page) {
  for (const auto& k : kKinds)
    if (page == k.page) return &k;
  return nullptr;
}
void bindValue(Stmt& s, int i, const Value& v) {
  if (std::holds_alternative<int64_t>(v)) s.bind(i, std::get<int64_t>(v));
  else if (std::holds_alternative<std::string>(v)) s.bind(i, std::get<std::string>(v));
  else s.bindNull(i);
}

// The item values of the cards of one commit, with the statements and the
// defined items read once.
class CardValues {
 public:
  explicit CardValues(Db& db)
      : remove_(db, "DELETE FROM card_values WHERE card_id = ?"),
        insert_(db, "INSERT INTO card_values(card_id, item_id, value) VALUES(?, ?, ?)") {
    Stmt s(db, "SELECT id FROM address_items");
    while (s.step()) items_.insert(static_cast<int>(s.integer(0)));
  }

  // Replaces the card's values; an item that is not defined refuses the commit.
  void store(int64_t cardId, const Row& row) {
    remove(cardId);
    for (const auto& [item, value] : row.items) {
      bool builtin = item <= -1 && item >= -11;
      if (!builtin && !items_.count(item))
        throw Refusal(kErrUnknownId, 0, "unknown address item " + std::to_string(item));
      if (value.empty()) continue;
      insert_.reset();
      insert_.bind(1, cardId).bind(2, item).bind(3, value).run();
    }
  }

  void remove(int64_t cardId) {
    remove_.reset();
    remove_.bind(1, cardId).run();
  }

 private:
  Stmt remove_, insert_;
  std::set<int> items_;
};

std::string commitData(Db& db, uint32_t user, const Kind& kind, const Form& form) {
  DataCommit c = parseDataCommit(form, kind.calendar);
  std::string label = labelOf(form);
  Transaction tx(db, true);
  std::string table = kind.table;
  bool cards = table == "cards";

  std::optional<CardValues> values;
  if (cards) values.emplace(db);
  Stmt d(db, ("DELETE FROM " + table + " WHERE id = ? AND user_id = ?").c_str());
  for (uint32_t id : c.removals) {
    d.reset();
    d.bind(1, id).bind(2, user).run();
    if (db.changes() == 0)
      throw Refusal(kErrUnknownId, 0, std::string("no ") + kind.page + " record " + std::to_string(id));
    if (values) values->remove(id);
  }

  std::string set, names, marks;
  for (const Column& col : *kind.columns) {
    set += std::string(", ") + col.name + " = ?";
    names += std::string(", ") + col.name;
    marks += ", ?";
  }
  int64_t ts = (c.changes.empty() && c.news.empty()) ? 0 : recordStamp(db);
  int n = static_cast<int>(kind.columns->size());
  Stmt u(db, ("UPDATE " + table + " SET ts = ?" + set + " WHERE id = ? AND user_id = ?").c_str());
  for (const Group& g : c.changes) {
    Row row = parseRow(kind, g);
    u.reset();
    u.bind(1, ts);
    for (int i = 0; i < n; ++i) bindValue(u, i + 2, row.columns[i]);
    u.bind(n + 2, g.id).bind(n + 3, user).run();
    if (db.changes() == 0)
      throw Refusal(kErrUnknownId, 0, std::string("no ") + kind.page + " record " + std::to_string(g.id));
    if (values) values->store(g.id, row);
  }

  std::string reply;
  std::vector<std::pair<uint32_t, uint32_t>> created;  // key, new id
  Stmt ins(db, ("INSERT INTO " + table + "(id, user_id, ts" + names + ") VALUES(?, ?, ?" + marks + ")").c_str());
  int64_t nextId = c.news.empty() ? 0 : nextRecordId(db, static_cast<int64_t>(c.news.size()));
  for (const Group& g : c.news) {
    Row row = parseRow(kind, g);
    int64_t id = nextId++;
    ins.reset();
    ins.bind(1, id).bind(2, user).bind(3, ts);
    for (int i = 0; i < n; ++i) bindValue(ins, i + 4, row.columns[i]);
    ins.run();
    if (values) values->store(id, row);
    if (row.key != 0) created.emplace_back(row.key, static_cast<uint32_t>(id));
  }

  Relation rel;
  rel.pairs = c.pairs;
  for (const auto& [key, id] : created) rel.pairs.emplace_back(id, key);
  rel.ts = relationTime(db, c.rt);
  storeRelation(db, user, label, kind.page, rel);
  tx.commit();

  reply = std::to_string(rel.ts) + "\n";
  for (const auto& [key, id] : created) reply += std::to_string(key) + "," + std::to_string(id) + "\n";
  return reply;
}

std::string fetchData(Db& db, uint32_t user, const Kind& kind, const Form& form) {
  Transaction tx(db, false);
  std::string out;
  kind.fetch(db, user, kind, form, out);
  appendRelationSection(out, loadRelation(db, user, labelOf(form), kind.page));
  return out;
}

// ---- the other pages ----

std::string fetchSettings(Db& db, const Form& form) {
  std::string device = formValue(form, "dtype").value_or("");
  if (device != "None" && device != "Palm" && device != "PocketPC" && device != "Zaurus")
    malformed("unknown device type");
  Stmt s(db, "SELECT lines FROM settings WHERE device = ?");
  s.bind(1, device);
  return s.step() ? s.text(0) : std::string();
}

std::string fetchItems(Db& db) {
  std::string out;
  for (const auto& b : kBuiltinItems)
    out += std::string(b.name) + ",Text," + (b.id == -2 ? "1" : "") + ",," + quoteField(b.label) + "\n";
  Stmt s(db, "SELECT id, type, necessary, disable, name FROM address_items ORDER BY id");
  while (s.step())
    out += std::to_string(s.integer(0)) + "," + s.text(1) + "," + (s.integer(2) ? "1" : "") + "," +
           (s.integer(3) ? "1" : "") + "," + quoteField(s.text(4)) + "\n";
  return out;
}

std::string fetchCategories(Db& db, uint32_t user) {
  std::string out;
  Stmt s(db, "SELECT name FROM todo_categories WHERE user_id = ? ORDER BY pos");
  s.bind(1, user);
  while (s.step()) out += "c," + s.text(0) + "\n";
  return out;
}

// The list of category names replaces the stored one. Names are form values
// like any other: a client must escape "&", "=" and "+" in them.
std::string commitCategories(Db& db, uint32_t user, const Form& form) {
  std::vector<std::string> names;
  for (const auto& f : form) {
    if (!f.hasEquals) malformed("piece without '='");
    if (f.key == "c") names.push_back(f.value);
    else if (!isFrameKey(f.key)) malformed("unknown key " + f.key);
  }
  Transaction tx(db, true);
  Stmt d(db, "DELETE FROM todo_categories WHERE user_id = ?");
  d.bind(1, user).run();
  Stmt i(db, "INSERT INTO todo_categories(user_id, pos, name) VALUES(?, ?, ?)");
  std::set<std::string> seen;
  int64_t pos = 0;
  for (const auto& name : names) {
    if (name.find_first_of("\r\n") != std::string::npos) malformed("line break in a category");
    if (name.empty() || !seen.insert(name).second) continue;
    i.reset();
    i.bind(1, user).bind(2, pos++).bind(3, name).run();
  }
  tx.commit();
  return {};
}

// ---- mail ----

// The mailbox: the server's own mails, which the client only fetches.
const Columns kMailColumns = {
    {"sent", nullptr, nullptr, {}, Shown::Stamp},          {"subject", nullptr, nullptr, {}, Shown::Quoted},
    {"read", nullptr, nullptr, {}, Shown::Flag},           {"sender", nullptr, nullptr, {}, Shown::Quoted},
    {"rcpt_to", nullptr, nullptr, {}, Shown::Quoted},      {"rcpt_cc", nullptr, nullptr, {}, Shown::Quoted},
    {"rcpt_bcc", nullptr, nullptr, {}, Shown::Quoted},     {"reply_to", nullptr, nullptr, {}, Shown::Quoted},
    {"content_type", nullptr, nullptr, {}, Shown::Quoted}, {"body", nullptr, nullptr, {}, Shown::Quoted},
};

std::string fetchMail(Db& db, uint32_t user) {
  std::string out;
  Stmt s(db, selectRecords("mails", kMailColumns).c_str());
  s.bind(1, user);
  while (s.step()) {
    appendRecord(s, kMailColumns, out);
    out += "\n";
  }
  return out;
}

// The outbox: what a send of mails stores, by the key that carries it.
struct OutboxColumn {
  const char* name;
  const char* key;
  bool recipients;  // a mail needs at least one of these
};

const OutboxColumn kOutboxColumns[] = {
    {"subject", "s", false}, {"rcpt_to", "t", true}, {"rcpt_cc", "c", true},
    {"rcpt_bcc", "b", true}, {"body", "d", false},
};
constexpr size_t kOutboxCount = std::size(kOutboxColumns);

// Sends the queued mails in order: those before the first one without any
// recipient are sent; that one is refused with its position and the rest are
// left for the client to send again.
std::string sendMail(Db& db, uint32_t user, const Form& form) {
  // A mail begins with the key of the first column, its subject.
  using Mail = std::array<std::string, kOutboxCount>;
  std::vector<Mail> mails;
  for (const auto& f : form) {
    if (!f.hasEquals) malformed("piece without '='");
    if (isFrameKey(f.key)) continue;
    if (f.key == kOutboxColumns[0].key) mails.emplace_back();
    if (mails.empty()) malformed("mail does not begin with " + std::string(kOutboxColumns[0].key));
    auto c = std::find_if(std::begin(kOutboxColumns), std::end(kOutboxColumns),
                          [&f](const OutboxColumn& col) { return f.key == col.key; });
    if (c == std::end(kOutboxColumns)) malformed("unknown key " + f.key);
    mails.back()[static_cast<size_t>(c - std::begin(kOutboxColumns))] = f.value;
  }
  std::string names, marks;
  for (const OutboxColumn& c : kOutboxColumns) {
    names += std::string(", ") + c.name;
    marks += ", ?";
  }
  Transaction tx(db, true);
  const std::string insert = "INSERT INTO outbox(user_id, ts" + names + ") VALUES(?, ?" + marks + ")";
  std::optional<Stmt> ins;  // prepared for the first mail sent
  int refused = 0;
  for (size_t i = 0; i < mails.size(); ++i) {
    const Mail& m = mails[i];
    bool anyone = false;
    for (size_t c = 0; c < kOutboxCount; ++c) anyone |= kOutboxColumns[c].recipients && !m[c].empty();
    if (!anyone) {
      refused = static_cast<int>(i) + 1;
      break;
    }
    if (!ins) ins.emplace(db, insert.c_str());
    ins->reset();
    ins->bind(1, user).bind(2, static_cast<int64_t>(std::time(nullptr)));
    for (size_t c = 0; c < kOutboxCount; ++c) ins->bind(static_cast<int>(c) + 3, m[c]);
    ins->run();
  }
  tx.commit();
  if (refused) return "ErrorCode," + std::to_string(kErrMailRefused) + "," + std::to_string(refused) + "\n";
  return {};
}

std::string appOf(const Form& form) {
  std::string app = formValue(form, "app").value_or("");
  if (app.empty()) malformed("no app");
  return app;
}

std::string fetchRelation(Db& db, uint32_t user, const Form& form) {
  Transaction tx(db, false);
  std::string out;
  appendPairs(out, loadRelation(db, user, labelOf(form), appOf(form)));
  return out;
}

std::string commitRelation(Db& db, uint32_t user, const Form& form) {
  std::string app = appOf(form);
  std::vector<const FormField*> fields;
  for (const auto& f : form) {
    if (!f.hasEquals) malformed("piece without '='");
    if (!isFrameKey(f.key) && f.key != "app") fields.push_back(&f);
  }
  if (fields.empty() || fields[0]->key != "rt") malformed("no rt");
  Relation rel;
  rel.pairs = parsePairs(fields, 1);
  Transaction tx(db, true);
  rel.ts = relationTime(db, fields[0]->value);
  storeRelation(db, user, labelOf(form), app, rel);
  tx.commit();
  return std::to_string(rel.ts) + "\n";
}

}  // namespace

std::string userList(Db& db) {
  std::string out;
  Stmt s(db, "SELECT id, name FROM users ORDER BY id");
  while (s.step()) out += std::to_string(s.integer(0)) + "," + s.text(1) + "\n";
  return out;
}

std::string version() { return "version,2.5,1.0\nProductID,gwserver 1.0\n"; }

std::string fetch(Db& db, uint32_t user, const std::string& page, const Form& form) {
  if (const Kind* k = kindOf(page)) return fetchData(db, user, *k, form);
  if (page == "SyncSetting") return fetchSettings(db, form);
  if (page == "SyncAddressItem") return fetchItems(db);
  if (page == "SyncToDoCategory") return fetchCategories(db, user);
  if (page == "SyncMail") return fetchMail(db, user);
  if (page == "SyncRelation") return fetchRelation(db, user, form);
  throw Refusal(kErrUnknownPage, 0, "unknown page " + page);
}

std::string commit(Db& db, uint32_t user, const std::string& page, const Form& form) {
  if (const Kind* k = kindOf(page)) return commitData(db, user, *k, form);
  if (page == "SyncToDoCategory") return commitCategories(db, user, form);
  if (page == "SyncMail") return sendMail(db, user, form);
  if (page == "SyncRelation") return commitRelation(db, user, form);
  throw Refusal(kErrUnknownPage, 0, "page " + page + " takes no commit");
}

}  // namespace gwserver::pages
