// The To Do List end to end: `hotsync sync` runs the to-do conduit on a
// handheld folder against a gwserver process; both sides are read back from
// their files, and the handheld's file once more by Perl's Palm::ToDo.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "conduits/tests/e2e.h"

namespace {

using namespace std::string_literals;
using e2e::Fields;

const std::string kKanji = "\x93\xfa\x96\x7b\x8c\xea";  // three double-byte characters

// A to-do on the server as `gwserver export` writes it.
struct ServerToDo {
  DWORD id = 0;
  std::string due, end, category, memo;
  int priority = 0;
  bool finished = false;
};

// A to-do on the handheld as its file holds it.
struct HandheldToDo {
  palm::Record record;
  palm::ToDoRecord fields;
  std::string category;
};

std::string dueOf(const palm::ToDoRecord& t) {
  return t.hasDueDate() ? std::to_string(t.year) + "/" + std::to_string(t.month) + "/" + std::to_string(t.day) : "";
}

std::string today() {
  const time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  return std::to_string(t.tm_year + 1900) + "/" + std::to_string(t.tm_mon + 1) + "/" + std::to_string(t.tm_mday);
}

class ToDoSync : public ::testing::Test, public e2e::HotSyncRun {
 protected:
  ToDoSync() {
    conduit_ = "todoconduit";
    configure();
  }

  void syncOk() {
    testutil::CommandResult r = sync();
    ASSERT_EQ(r.status, 0) << r.out;
  }
  DWORD hhToDo(std::vector<std::string> options) {
    options.insert(options.begin(), {"add", "todo"});
    testutil::CommandResult r = hh(options);
    EXPECT_EQ(r.status, 0) << r.out;
    return static_cast<DWORD>(std::stoul(r.out));
  }
  void hhDo(const std::vector<std::string>& args) { ASSERT_EQ(hh(args).status, 0) << args[0]; }

  // Live to-dos by description; none of them left dirty.
  std::map<std::string, HandheldToDo> handheld() const {
    std::map<std::string, HandheldToDo> out;
    palm::Database db = database("ToDoDB");
    palm::CategoryBlock block;
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    for (const palm::Record& r : db.records) {
      if (!r.live()) continue;
      HandheldToDo t;
      t.record = r;
      std::string why;
      EXPECT_TRUE(palm::parseToDo(r.data, t.fields, &why)) << why;
      EXPECT_FALSE(r.dirty) << t.fields.description;
      t.category = block.names[r.category];
      out[t.fields.description] = t;
    }
    return out;
  }
  std::vector<std::string> handheldCategories() const {
    palm::CategoryBlock block;
    palm::Database db = database("ToDoDB");
    EXPECT_TRUE(db.appInfo && palm::parseCategoryBlock(*db.appInfo, block));
    return std::vector<std::string>(std::begin(block.names), std::end(block.names));
  }
  bool handheldHasCategory(const std::string& name) const {
    auto c = handheldCategories();
    return std::find(c.begin(), c.end(), name) != c.end();
  }

  // Server to-dos by name.
  std::map<std::string, ServerToDo> server() const {
    std::map<std::string, ServerToDo> out;
    for (const auto& f : server_.exported(serverUser_, "todo")) {
      ServerToDo t;
      t.id = static_cast<DWORD>(std::stoul(f.at(1)));
      t.due = f.at(3);
      t.priority = std::stoi(f.at(4));
      t.finished = f.at(5) != "0";
      t.end = f.at(6);
      t.category = f.at(7);
      t.memo = f.at(9);
      out[f.at(8)] = t;
    }
    return out;
  }
  std::vector<std::string> serverCategories() const {
    std::vector<std::string> out;
    for (const auto& f : server_.exported(serverUser_, "category")) out.push_back(f.at(1));
    return out;
  }
  // Every record of the file, deleted ones included, one line each.
  std::string recordsText() const {
    std::string out;
    for (const palm::Record& r : database("ToDoDB").records)
      out += std::to_string(r.uniqueId) + " " + std::to_string(r.category) + (r.deleted ? " deleted" : "") +
             (r.dirty ? " dirty" : "") + (r.secret ? " private" : "") + " [" + r.data + "]\n";
    return out;
  }
  size_t relationCount() const { return server_.relations(serverUser_, "SyncToDo").size(); }

  // Changes (or, when edit answers false, removes) the server to-do of that
  // name as another client of the server would, past the last sync's second.
  void serverEdit(const std::string& name, const std::function<bool(__TODO_DATA&)>& edit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    COfficeSession session;
    ASSERT_NO_FATAL_FAILURE(loginAsTaro(session));
    CToDoConnection todos(session);
    const __TODO_DATA* t = todos.FindFirst();
    while (t && name != t->pszName) t = todos.FindNext();
    ASSERT_NE(t, nullptr) << name;
    __TODO_DATA changed = *t;
    if (edit(changed)) ASSERT_NE(todos.Set(&changed, 0), nullptr);
    else ASSERT_EQ(todos.Remove(t->nID), 1);
    ASSERT_EQ(todos.Commit(), 1);
    session.Close();
  }

  std::string perl(const std::string& script, const std::string& file, const std::string& arg = "") {
    std::ofstream(dir_ / "script.pl") << script;
    testutil::CommandResult r = testutil::runCommand({"/usr/bin/perl", (dir_ / "script.pl").string(), file, arg});
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
  }
};

TEST_F(ToDoSync, ToDosTravelBothWaysWithTheirCategories) {
  import(
      "category\tWork\n"
      "category\tHome\n"
      "todo\t-\t-\t2026/12/20\t1\t0\t\tWork\tFinish the report\t\n"
      "todo\t-\t-\t\t3\t1\t2026/12/1\tHome\tBuy a new kettle\tThe old one leaks\\r\\nbadly\n"
      "todo\t-\t-\t\t2\t0\t\tErrands\t" +
      kKanji + "\t\n");
  hhDo({"category", "todo", "add", "R&D=50% +1"});
  hhToDo({"--description", "Taxes", "--due", "2027-04-15", "--priority", "1", "--note", "forms\nreceipts", "--category",
          "R&D=50% +1"});
  hhToDo({"--description", kKanji + "2", "--priority", "4", "--private"});
  hhToDo({"--description", "Done already", "--completed", "--priority", "5"});
  syncOk();
  // The conduit's names from handstrings: kind 1, the To Do List.
  EXPECT_NE(lastOutput().find("To Do List: synchronisation finished successfully."), std::string::npos) << lastOutput();
  EXPECT_NE(lastOutput().find("GWSync To Do List: synchronised"), std::string::npos);

  std::map<std::string, ServerToDo> s = server();
  ASSERT_EQ(s.size(), 6u) << exportText();
  EXPECT_EQ(s["Taxes"].due, "2027/4/15");
  EXPECT_EQ(s["Taxes"].priority, 1);
  EXPECT_FALSE(s["Taxes"].finished);
  EXPECT_EQ(s["Taxes"].memo, "forms\nreceipts");
  EXPECT_EQ(s["Taxes"].category, "R&D=50% +1");
  EXPECT_EQ(s[kKanji + "2"].due, "");  // no due date
  EXPECT_EQ(s[kKanji + "2"].priority, 4);
  EXPECT_EQ(s[kKanji + "2"].category, "");
  EXPECT_TRUE(s["Done already"].finished);
  EXPECT_EQ(s["Done already"].end, today());
  // A handheld category the server lacked joined its list, whole, although
  // its name holds what a form body gives a meaning to.
  EXPECT_EQ(serverCategories(), (std::vector<std::string>{"Work", "Home", "R&D=50% +1"}));

  std::map<std::string, HandheldToDo> h = handheld();
  ASSERT_EQ(h.size(), 6u);
  const palm::ToDoRecord& report = h["Finish the report"].fields;
  EXPECT_EQ(dueOf(report), "2026/12/20");
  EXPECT_EQ(report.priority, 1);
  EXPECT_FALSE(report.completed);
  EXPECT_EQ(h["Finish the report"].category, "Work");
  const palm::ToDoRecord& kettle = h["Buy a new kettle"].fields;
  EXPECT_FALSE(kettle.hasDueDate());
  EXPECT_TRUE(kettle.completed);
  EXPECT_EQ(kettle.priority, 3);
  EXPECT_EQ(kettle.note, "The old one leaks\nbadly");
  EXPECT_EQ(h["Buy a new kettle"].category, "Home");
  // A server category the handheld lacked joined its list.
  EXPECT_EQ(h[kKanji].category, "Errands");
  EXPECT_TRUE(h[kKanji + "2"].record.secret);
  EXPECT_EQ(relationCount(), 6u);

  // Perl's Palm::ToDo reads what the conduit wrote.
  const std::string read = R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::ToDo;
my $pdb = Palm::PDB->new; $pdb->Load($ARGV[0]); my @out;
for my $r (@{$pdb->{records}}) {
  my $due = defined $r->{due_year} ? "$r->{due_year}-$r->{due_month}-$r->{due_day}" : '-';
  (my $note = $r->{note} // '') =~ s/\n/|/g;
  push @out, join(' ', $pdb->{appinfo}{categories}[$r->{category}]{name}, $due, $r->{priority},
                  $r->{completed} ? 'done' : 'open', $r->{attributes}{private} ? 'private' : 'public',
                  $r->{description}, $note) . "\n";
}
print sort @out;
)PERL";
  EXPECT_EQ(
      perl(read, (handheld_ / "ToDoDB.pdb").string()),
      "Errands - 2 open public " + kKanji + " \n" + "Home - 3 done public Buy a new kettle The old one leaks|badly\n" +
          "R&D=50% +1 2027-4-15 1 open public Taxes forms|receipts\n" + "Unfiled - 4 open private " + kKanji + "2 \n" +
          "Unfiled - 5 done public Done already \n"
          "Work 2026-12-20 1 open public Finish the report \n");

  // Settled: a run without changes changes no record on either side.
  const std::string records = recordsText();
  const std::vector<std::string> categories = handheldCategories();
  const std::vector<Fields> todos = server_.exported(serverUser_, "todo");
  syncOk();
  EXPECT_EQ(recordsText(), records);
  EXPECT_EQ(handheldCategories(), categories);
  EXPECT_EQ(server_.exported(serverUser_, "todo"), todos);
  EXPECT_EQ(serverCategories(), (std::vector<std::string>{"Work", "Home", "R&D=50% +1"}));
}

TEST_F(ToDoSync, ChangesMergeAndDeletionsTravel) {
  const std::string longNote = std::string(4095, 'n') + kKanji + std::string(1000, 'm');
  import("todo\t-\t-\t2040/1/1\t9\t1\t2026/11/30\tSomeday\tLong plan\t" + longNote + "\n" +
         "todo\t-\t-\t\t1\t0\t\t\tServer gone\t\n");
  const DWORD secret = hhToDo({"--description", "Secret", "--private", "--category", "Personal"});
  const DWORD gone = hhToDo({"--description", "Handheld gone"});
  syncOk();
  std::map<std::string, HandheldToDo> h = handheld();
  // What the handheld cannot hold: a due date past 2031, priority 9 and a
  // note of over 4,096 bytes (cut between characters).
  EXPECT_FALSE(h["Long plan"].fields.hasDueDate());
  EXPECT_EQ(h["Long plan"].fields.priority, 5);
  EXPECT_TRUE(h["Long plan"].fields.note == longNote.substr(0, 4095)) << h["Long plan"].fields.note.size();

  // The handheld reopens it; the server keeps what the handheld could not
  // show.
  hhDo({"edit", "todo", std::to_string(h["Long plan"].record.uniqueId), "--not-completed"});
  hhDo({"delete", "todo", std::to_string(gone)});
  serverEdit("Secret", [](__TODO_DATA& t) {
    t.nPriority = 2;
    t.dateLimit = {2027, 1, 31};
    return true;
  });
  serverEdit("Server gone", [](__TODO_DATA&) { return false; });
  syncOk();

  std::map<std::string, ServerToDo> s = server();
  ASSERT_EQ(s.size(), 2u) << exportText();
  EXPECT_FALSE(s["Long plan"].finished);
  EXPECT_EQ(s["Long plan"].due, "2040/1/1");
  EXPECT_EQ(s["Long plan"].priority, 9);
  EXPECT_EQ(s["Long plan"].end, "2026/11/30");
  EXPECT_TRUE(s["Long plan"].memo == longNote) << s["Long plan"].memo.size();
  EXPECT_EQ(s["Long plan"].category, "Someday");
  h = handheld();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h["Secret"].record.uniqueId, secret);
  EXPECT_TRUE(h["Secret"].record.secret);  // the server's change kept it private
  EXPECT_EQ(h["Secret"].category, "Personal");
  EXPECT_EQ(dueOf(h["Secret"].fields), "2027/1/31");
  EXPECT_EQ(h["Secret"].fields.priority, 2);
  for (const palm::Record& r : database("ToDoDB").records) EXPECT_TRUE(r.live()) << r.uniqueId;
  EXPECT_EQ(relationCount(), 2u);
}

TEST_F(ToDoSync, CompletedOnTheHandheldWhileTheServerChangedPriorityKeepsTheServers) {
  const DWORD id = hhToDo({"--description", "Both", "--priority", "3"});
  syncOk();
  hhDo({"edit", "todo", std::to_string(id), "--completed"});
  serverEdit("Both", [](__TODO_DATA& t) {
    t.nPriority = 1;
    return true;
  });
  syncOk();
  EXPECT_NE(lastOutput().find("Changed on both the handheld and the server; the server's version was kept: Both"),
            std::string::npos)
      << lastOutput();
  std::map<std::string, HandheldToDo> h = handheld();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h["Both"].fields.priority, 1);
  EXPECT_FALSE(h["Both"].fields.completed);
  std::map<std::string, ServerToDo> s = server();
  EXPECT_EQ(s["Both"].priority, 1);
  EXPECT_FALSE(s["Both"].finished);
  EXPECT_EQ(relationCount(), 1u);
}

TEST_F(ToDoSync, AFullCategoryListLeavesTheToDoUnfiledAndTheServerKeepsItsCategory) {
  for (int i = 3; i < 16; ++i) hhDo({"category", "todo", "add", "Full" + std::to_string(i)});
  import("todo\t-\t-\t\t2\t0\t\tOverflow\tOverflowing\t\n");
  syncOk();
  EXPECT_NE(lastOutput().find("To Do List has no free category for \"Overflow\": \"Overflowing\" stays in Unfiled"),
            std::string::npos)
      << lastOutput();
  std::map<std::string, HandheldToDo> h = handheld();
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h["Overflowing"].record.category, 0);
  // A change on the handheld does not take the server's category away.
  hhDo({"edit", "todo", std::to_string(h["Overflowing"].record.uniqueId), "--priority", "4"});
  syncOk();
  EXPECT_EQ(server()["Overflowing"].category, "Overflow");
  EXPECT_EQ(server()["Overflowing"].priority, 4);
}

// The category list is a courtesy to the server's users: when it cannot be
// read or written, the to-dos still travel with their category names.
TEST_F(ToDoSync, ACategoryListTheServerRefusesDoesNotStopTheRun) {
  ASSERT_EQ(hh({"category", "todo", "add", "Golf"}).status, 0);
  hhToDo({"--description", "Tee time", "--category", "Golf"});
  armFault("page=SyncToDoCategory&count=2&error=16403");
  syncOk();
  EXPECT_EQ(server()["Tee time"].category, "Golf");
  EXPECT_EQ(serverCategories(), std::vector<std::string>{});
  EXPECT_EQ(handheld().size(), 1u);
  EXPECT_EQ(relationCount(), 1u);
}

TEST_F(ToDoSync, AToDoListWrittenByPerlIsSynced) {
  std::filesystem::remove(handheld_ / "ToDoDB.pdb");
  // The second description is Shift-JIS, as the handheld holds it.
  const std::string write = R"PERL(
use strict; use warnings; use Palm::PDB; use Palm::ToDo;
my $pdb = Palm::ToDo->new; $pdb->{name} = 'ToDoDB';
$pdb->{appinfo}{categories}[3] = {name => 'Perl', id => 200, renamed => 0};
my $r = $pdb->new_Record; $r->{description} = 'From Perl'; $r->{note} = "two\nlines";
$r->{due_year} = 2027; $r->{due_month} = 2; $r->{due_day} = 28; $r->{priority} = 2;
$r->{category} = 3; $r->{attributes}{dirty} = 1; $pdb->append_Record($r);
$r = $pdb->new_Record; $r->{description} = pack('H*', $ARGV[1]); $r->{completed} = 1; $r->{priority} = 5;
$r->{attributes}{dirty} = 1; $pdb->append_Record($r);
$pdb->Write($ARGV[0]);
)PERL";
  perl(write, (handheld_ / "ToDoDB.pdb").string(), "93fa967b8cea");
  syncOk();
  std::map<std::string, ServerToDo> s = server();
  ASSERT_EQ(s.size(), 2u) << exportText();
  EXPECT_EQ(s["From Perl"].due, "2027/2/28");
  EXPECT_EQ(s["From Perl"].priority, 2);
  EXPECT_EQ(s["From Perl"].memo, "two\nlines");
  EXPECT_EQ(s["From Perl"].category, "Perl");
  EXPECT_TRUE(s[kKanji].finished);
  EXPECT_EQ(s[kKanji].priority, 5);
  EXPECT_EQ(serverCategories(), (std::vector<std::string>{"Perl"}));
  EXPECT_EQ(handheld().size(), 2u);
}

}  // namespace
