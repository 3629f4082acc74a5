// Dialogs as small line-based forms on the terminal, and their scripted
// answerer for tests.
//
//   platform::CDialog dlg("Server", 115);
//   dlg.addEdit(1010, "url", "Server URL", "http://");
//   dlg.addPassword(1033, "password", "Password", "");
//   dlg.addButton(IDOK, "ok", "OK");
//   dlg.addButton(IDCANCEL, "cancel", "Cancel");
//   for (int pressed; (pressed = dlg.run()) != IDCANCEL;)
//     if (pressed == IDOK && !dlg.text(1010).empty()) break;
//
// run() shows the form, reads one answer at a time and applies it, until a
// button is pressed or a notifying control (a check box, by default) changes;
// then it answers that control's id and the caller acts (connects, shows
// message boxes, changes controls) and calls run() again or ends the form.
// The ids IDOK and IDCANCEL belong to the OK and Cancel buttons: the end of
// the answers is Cancel.
//
// An answer is one line: "name=value" sets a control (a combo box takes an
// item's text or "#index", and free text when it is editable; a check box
// takes on, off, 1 or 0), "name" presses a button or flips a check box.
// Disabled controls refuse answers. Empty lines and lines starting with '#'
// are skipped.
//
// Where answers come from:
//   - $GWSYNC_DIALOG_SCRIPT names a file: its lines, in order, shared by every
//     form the process shows (tests); another file, or the same one
//     rewritten, starts again from its first line;
//   - standard input is a terminal: the form is printed on standard error and
//     answers are typed; "name" alone on a field asks for its value, a
//     password without echo;
//   - otherwise: the lines of standard input (`hotsync configure < answers`),
//     read byte by byte so nothing after the last answer is consumed.
//
// When $GWSYNC_DIALOG_LOG names a file, every form shown and every answer is
// appended to it as records that platform::readDialogLog reads back, from
// this process or another one. A password's value never reaches the
// terminal or the log: both show "********" for a set password.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

enum class DialogControlKind { Edit, Password, Combo, Check, Button };

struct DialogControl {
  int id = 0;
  std::string name;   // what an answer types: "url", "ok"
  std::string label;  // what the form shows
  DialogControlKind kind = DialogControlKind::Button;
  bool enabled = true;
  bool notify = false;             // run() returns when an answer changes the value
  std::string text;                // edit, password, combo: the current text
  std::vector<std::string> items;  // combo
  int selection = -1;              // combo: index of the selected item, -1 for none
  bool editable = false;           // combo: free text is accepted
  bool checked = false;            // check box
};

// The mask that stands for a set password wherever a form is shown.
inline constexpr std::string_view kPasswordMask = "********";

class PLATFORM_API CDialog {
 public:
  // resourceId names the form in the log (the dialog resource it stands for).
  CDialog(std::string title, int resourceId);

  // Each adds a control at the end of the form and answers it; the reference
  // stays valid until the next add. Names must be unique within the form.
  DialogControl& addEdit(int id, std::string name, std::string label, std::string text = {});
  DialogControl& addPassword(int id, std::string name, std::string label, std::string text = {});
  DialogControl& addCombo(int id, std::string name, std::string label, bool editable = false);
  // Check boxes notify by default.
  DialogControl& addCheck(int id, std::string name, std::string label, bool checked = false);
  DialogControl& addButton(int id, std::string name, std::string label);

  // The control of that id, or null.
  DialogControl* control(int id);
  const DialogControl* control(int id) const;

  // Shortcuts on a control by id; an unknown id reads as empty / false / -1
  // and ignores writes.
  std::string text(int id) const;
  void setText(int id, std::string_view text);
  bool checked(int id) const;
  void setChecked(int id, bool on);
  void enable(int id, bool on);
  // Combo box: removes every item and the text.
  void resetContent(int id);
  // Combo box: appends an item; answers its index (-1 for an unknown id).
  int addItem(int id, std::string text);
  // Combo box: selects item index (its text becomes the text); -1 or an
  // index out of range clears the selection and the text.
  void select(int id, int index);
  int selection(int id) const;

  // Shows the form and applies answers until a button is pressed or a
  // notifying control changed; answers that control's id, or IDCANCEL when
  // the answers end.
  int run();

  const std::string& title() const { return m_Title; }
  int resourceId() const { return m_ResourceId; }
  const std::vector<DialogControl>& controls() const { return m_Controls; }

 private:
  DialogControl& add(DialogControl c);
  DialogControl* byName(std::string_view name);
  void show() const;

  std::string m_Title;
  int m_ResourceId;
  std::vector<DialogControl> m_Controls;
};

// One control of a logged form. value is the text (edit, combo), the mask or
// empty (password), "on"/"off" (check box) or empty (button).
struct DialogLogControl {
  int id = 0;
  std::string name;
  std::string kind;  // "edit", "password", "combo", "check", "button"
  bool enabled = true;
  std::string label;
  std::string value;
  int selection = -1;  // combo
  std::vector<std::string> items;
};

// A form as shown, or an answer as read.
struct DialogLogRecord {
  enum Type { Form, Answer } type = Form;
  int resourceId = 0;
  std::string title;                       // form
  std::vector<DialogLogControl> controls;  // form
  std::string answer;                      // the line, a password's value masked; empty at the end
  // "set", "pressed", "unknown" (no such control), "disabled", "invalid"
  // (a value the control does not take) or "end" (no more answers).
  std::string outcome;
};

// The records of a dialog log file in the order they were written; empty
// when the file does not exist.
PLATFORM_API std::vector<DialogLogRecord> readDialogLog(const std::string& path);

}  // namespace platform
