// Terminal dialogs: scripted answers applied to each kind of control, the log
// read back, passwords kept off the log and the screen, and the two other
// answer sources (standard input lines, an interactive terminal).
#include "platform/dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testutil/files.h"

namespace fs = std::filesystem;
using platform::CDialog;
using platform::DialogLogRecord;

namespace {

enum { kUser = 1000, kUrl = 1010, kPassword = 1033, kAuth = 1035, kRefresh = 1020 };

// The form most tests use: every kind of control once.
void buildForm(CDialog& dlg) {
  dlg.addCombo(kUser, "user", "User", true);
  dlg.addItem(kUser, "(choose)");
  dlg.addItem(kUser, "taro");
  dlg.addItem(kUser, "hanako");
  dlg.select(kUser, 0);
  dlg.addEdit(kUrl, "url", "Server URL", "http://");
  dlg.addPassword(kPassword, "password", "Password");
  dlg.addCheck(kAuth, "auth", "Basic authentication");
  dlg.addButton(kRefresh, "refresh", "Refresh");
  dlg.addButton(IDOK, "ok", "OK");
  dlg.addButton(IDCANCEL, "cancel", "Cancel");
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tag = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : tag)
      if (c == '/') c = '-';
    dir_ = testutil::makeTempFolder("dialog-" + tag);
    ::setenv("GWSYNC_DIALOG_LOG", log().c_str(), 1);
    ::unsetenv("GWSYNC_DIALOG_SCRIPT");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Makes the answers come from these lines.
  void script(const std::string& lines) {
    fs::path p = dir_ / "answers";
    std::ofstream(p, std::ios::binary) << lines;
    ::setenv("GWSYNC_DIALOG_SCRIPT", p.c_str(), 1);
  }
  std::string log() const { return (dir_ / "dialog.log").string(); }
  std::vector<DialogLogRecord> records() const { return platform::readDialogLog(log()); }
  std::vector<DialogLogRecord> answers() const {
    std::vector<DialogLogRecord> out;
    for (auto& r : records())
      if (r.type == DialogLogRecord::Answer) out.push_back(r);
    return out;
  }
  // Each logged answer with its outcome.
  std::vector<std::pair<std::string, std::string>> answerLines() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& r : answers()) out.emplace_back(r.answer, r.outcome);
    return out;
  }

  fs::path dir_;
};

TEST_F(DialogTest, ScriptedAnswersFillTheFormAndPressAButton) {
  script("url=http://gw.example/gw\npassword=s3cret\r\nuser=hanako\n\n# comment\nok\n");
  CDialog dlg("Settings", 115);
  buildForm(dlg);
  EXPECT_EQ(dlg.run(), IDOK);
  EXPECT_EQ(dlg.text(kUrl), "http://gw.example/gw");
  EXPECT_EQ(dlg.text(kPassword), "s3cret");  // CR of a CR LF script line dropped
  EXPECT_EQ(dlg.text(kUser), "hanako");
  EXPECT_EQ(dlg.selection(kUser), 2);

  std::vector<std::pair<std::string, std::string>> want = {
      {"url=http://gw.example/gw", "set"}, {"password=********", "set"}, {"user=hanako", "set"}, {"ok", "pressed"}};
  EXPECT_EQ(answerLines(), want);
}

TEST_F(DialogTest, LoggedFormsShowEveryControlWithThePasswordMasked) {
  script("password=s3cret\nok\n");
  CDialog dlg("Settings\tone", 115);
  buildForm(dlg);
  dlg.enable(kRefresh, false);
  ASSERT_EQ(dlg.run(), IDOK);

  std::vector<DialogLogRecord> forms;
  for (auto& r : records())
    if (r.type == DialogLogRecord::Form) forms.push_back(r);
  ASSERT_EQ(forms.size(), 2u);  // on entry and after the password was set
  EXPECT_EQ(forms[0].title, "Settings\tone");
  EXPECT_EQ(forms[0].resourceId, 115);
  ASSERT_EQ(forms[0].controls.size(), 7u);
  const auto& user = forms[0].controls[0];
  EXPECT_EQ(user.id, kUser);
  EXPECT_EQ(user.name, "user");
  EXPECT_EQ(user.kind, "combo");
  EXPECT_EQ(user.value, "(choose)");
  EXPECT_EQ(user.selection, 0);
  EXPECT_EQ(user.items, (std::vector<std::string>{"(choose)", "taro", "hanako"}));
  EXPECT_EQ(forms[0].controls[2].kind, "password");
  EXPECT_EQ(forms[0].controls[2].value, "");  // nothing set yet
  EXPECT_EQ(forms[1].controls[2].value, "********");
  EXPECT_EQ(forms[0].controls[3].value, "off");
  EXPECT_EQ(forms[0].controls[4].label, "Refresh");
  EXPECT_FALSE(forms[0].controls[4].enabled);
  EXPECT_TRUE(forms[0].controls[5].enabled);

  EXPECT_EQ(readAll(log()).find("s3cret"), std::string::npos);
}

TEST_F(DialogTest, EndOfAnswersIsCancel) {
  script("url=x\n");
  CDialog dlg("Settings", 115);
  buildForm(dlg);
  EXPECT_EQ(dlg.run(), IDCANCEL);
  EXPECT_EQ(dlg.run(), IDCANCEL);  // and stays so
  auto a = answers();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[1].outcome, "end");
  EXPECT_EQ(a[2].outcome, "end");
}

TEST_F(DialogTest, RefusedAnswersChangeNothingAndKeepPasswordsMasked) {
  script(
      "url=http://a\n"         // disabled below
      "refresh\n"              // disabled button
      "pasword=topsecret\n"    // no such control: the value may be a password
      "ok=1\n"                 // a button takes no value
      "user\n"                 // a field needs a value
      "auth=maybe\n"           // a check box takes on/off
      "password=topsecret2\n"  // disabled password
      "cancel\n");
  CDialog dlg("Settings", 115);
  buildForm(dlg);
  dlg.enable(kUrl, false);
  dlg.enable(kRefresh, false);
  dlg.enable(kPassword, false);
  EXPECT_EQ(dlg.run(), IDCANCEL);
  EXPECT_EQ(dlg.text(kUrl), "http://");
  EXPECT_EQ(dlg.text(kPassword), "");
  EXPECT_FALSE(dlg.checked(kAuth));

  std::vector<std::pair<std::string, std::string>> want = {{"url=http://a", "disabled"},
                                                           {"refresh", "disabled"},
                                                           {"pasword=********", "unknown"},
                                                           {"ok=1", "invalid"},
                                                           {"user", "invalid"},
                                                           {"auth=maybe", "invalid"},
                                                           {"password=********", "disabled"},
                                                           {"cancel", "pressed"}};
  EXPECT_EQ(answerLines(), want);
  EXPECT_EQ(readAll(log()).find("topsecret"), std::string::npos);
}

// Combo box answers. Legend: items, editable, answer value, outcome, text
// after, selection after.
struct ComboRow {
  std::vector<std::string> items;
  bool editable;
  std::string value;
  std::string outcome;
  std::string text;
  int selection;
};

class ComboAnswer : public DialogTest, public ::testing::WithParamInterface<ComboRow> {};

TEST_P(ComboAnswer, SelectsByTextOrIndexOrTakesFreeText) {
  const ComboRow& row = GetParam();
  script("user=" + row.value + "\n");
  CDialog dlg("Combo", 1);
  dlg.addCombo(kUser, "user", "User", row.editable);
  for (const auto& item : row.items) dlg.addItem(kUser, item);
  EXPECT_EQ(dlg.run(), IDCANCEL);
  ASSERT_FALSE(answers().empty());
  EXPECT_EQ(answers()[0].outcome, row.outcome);
  EXPECT_EQ(dlg.text(kUser), row.text);
  EXPECT_EQ(dlg.selection(kUser), row.selection);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ComboAnswer,
    ::testing::Values(
        /* 0 by text          */ ComboRow{{"a", "taro", "hanako"}, false, "taro", "set", "taro", 1},
        /* 1 by index         */ ComboRow{{"a", "taro", "hanako"}, false, "#2", "set", "hanako", 2},
        /* 2 index past end   */ ComboRow{{"a", "taro"}, false, "#2", "invalid", "", -1},
        /* 3 not an index     */ ComboRow{{"a", "taro"}, false, "#1x", "invalid", "", -1},
        /* 4 unknown, fixed   */ ComboRow{{"a", "taro"}, false, "jiro", "invalid", "", -1},
        /* 5 unknown, editable*/ ComboRow{{"a", "taro"}, true, "jiro", "set", "jiro", -1},
        /* 6 text before index*/ ComboRow{{"x", "#0"}, false, "#0", "set", "#0", 1},
        /* 7 case matters     */ ComboRow{{"Taro"}, true, "taro", "set", "taro", -1},
        /* 8 spaces kept      */ ComboRow{{"a"}, true, " taro ", "set", " taro ", -1}));

// Check box answers. Legend: checked before, answer, outcome, checked after,
// whether run() returned to the caller (a change notifies).
struct CheckRow {
  bool before;
  std::string answer;
  std::string outcome;
  bool after;
  bool notified;
};

class CheckAnswer : public DialogTest, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(CheckAnswer, SetsOrFlipsAndNotifiesOnChange) {
  const CheckRow& row = GetParam();
  script(row.answer + "\n");
  CDialog dlg("Check", 1);
  dlg.addCheck(kAuth, "auth", "Basic authentication", row.before);
  EXPECT_EQ(dlg.run(), row.notified ? kAuth : IDCANCEL);
  EXPECT_EQ(dlg.checked(kAuth), row.after);
  EXPECT_EQ(answers()[0].outcome, row.outcome);
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckAnswer,
                         ::testing::Values(/* 0 */ CheckRow{false, "auth=on", "set", true, true},
                                           /* 1 */ CheckRow{true, "auth=0", "set", false, true},
                                           /* 2 */ CheckRow{false, "auth=ON", "set", true, true},
                                           /* 3 */ CheckRow{true, "auth=1", "set", true, false},
                                           /* 4 */ CheckRow{true, "auth", "set", false, true},
                                           /* 5 */ CheckRow{false, "auth=yes", "invalid", false, false},
                                           /* 6 */ CheckRow{false, " auth = off", "set", false, false}));

TEST(DialogLog, MissingFileReadsAsNoRecords) {
  EXPECT_TRUE(platform::readDialogLog("/nonexistent/gw-dialog.log").empty());
}

// Runs the test form in a child process whose standard input and error are
// the given descriptors; the child exits with the button id run() answered,
// plus 100 when the password it got is "s3cret", and (with readRest) plus 50
// when standard input still holds exactly "tail\n" afterwards.
pid_t runFormInChild(int in, int err, bool readRest) {
  pid_t child = ::fork();
  if (child != 0) return child;
  ::dup2(in, 0);
  ::dup2(err, 2);
  CDialog dlg("Settings", 115);
  buildForm(dlg);
  int pressed = dlg.run();
  int code = pressed;
  if (dlg.text(kPassword) == "s3cret") code += 100;
  std::string rest;
  char c;
  while (readRest && ::read(0, &c, 1) == 1) rest += c;
  if (rest == "tail\n") code += 50;
  ::_exit(code);
}

TEST_F(DialogTest, StandardInputLinesAnswerWhenItIsNoTerminal) {
  int in[2];
  ASSERT_EQ(::pipe(in), 0);
  fs::path errPath = dir_ / "stderr";
  int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(err, 0);
  std::string input = "user=#1\npassword=s3cret\nnosuch\nok\ntail\n";
  ASSERT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(in[1]);
  pid_t child = runFormInChild(in[0], err, true);
  ::close(in[0]);
  ::close(err);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), IDOK + 100 + 50);

  std::string shown = readAll(errPath);
  EXPECT_NE(shown.find("== Settings =="), std::string::npos) << shown;
  EXPECT_NE(shown.find("********"), std::string::npos) << shown;
  EXPECT_NE(shown.find("nosuch"), std::string::npos) << shown;  // the refusal is explained
  EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
  // The child's log is read here, in another process.
  auto a = answers();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0].answer, "user=#1");
  EXPECT_EQ(a[1].answer, "password=********");
  EXPECT_EQ(a[2].outcome, "unknown");
  EXPECT_EQ(readAll(log()).find("s3cret"), std::string::npos);
}

// Reads the pty master into out until `want` appears at or after *from, or
// 10 s pass; *from moves past the match.
bool readUntil(int master, std::string& out, const std::string& want, size_t* from) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (size_t at = out.find(want, *from); at != std::string::npos) {
      *from = at + want.size();
      return true;
    }
    if (std::chrono::steady_clock::now() > end) return false;
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) return false;
    out.append(buf, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(DialogTest, TerminalTakesThePasswordWithoutEcho) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  pid_t child = runFormInChild(slave, slave, false);
  ::close(slave);

  std::string screen;
  size_t seen = 0;
  auto type = [&](const std::string& text) {
    ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  ASSERT_TRUE(readUntil(master, screen, "> ", &seen)) << screen;
  type("password=typed-on-the-line\n");  // would be on screen: refused
  ASSERT_TRUE(readUntil(master, screen, "without echo", &seen)) << screen;
  ASSERT_TRUE(readUntil(master, screen, "> ", &seen)) << screen;
  type("password\n");
  ASSERT_TRUE(readUntil(master, screen, "Password: ", &seen)) << screen;
  type("s3cret\n");
  ASSERT_TRUE(readUntil(master, screen, "Password: ********", &seen)) << screen;  // form again
  ASSERT_TRUE(readUntil(master, screen, "> ", &seen)) << screen;
  type("ok\n");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  readUntil(master, screen, "\x01", &seen);  // drains what is left (ends at EIO)
  ::close(master);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), IDOK + 100);  // the hidden entry is the password
  EXPECT_EQ(screen.find("s3cret"), std::string::npos) << screen;
  auto a = answers();
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].outcome, "invalid");
  EXPECT_EQ(a[0].answer, "password=********");
  EXPECT_EQ(a[1].answer, "password=********");
  EXPECT_EQ(a[1].outcome, "set");
}

}  // namespace
