// syncreg: registers GWSync's conduits with HotSync Manager and removes them.
//
//   syncreg          a form of five check boxes, ticked for the registered
//                    conduits; OK applies a changed selection
//   syncreg clear    removes every registered conduit, without the form
//
// Answers to the form come from $GWSYNC_DIALOG_SCRIPT, the terminal, or
// standard input (platform/dialog.h). Exits 0, or 1 when the Conduit
// Manager library cannot be used (nothing is then changed).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/dialog.h"
#include "syncreg/syncreg.h"

namespace {

using namespace syncreg;

// The About box: the tool's version and those of the system's files.
void showAboutBox() {
  platform::CDialog about("About GWSync Registration", IDD_ABOUTBOX);
  about.addEdit(IDC_ABOUT_VERSION, "version", "GWSync Registration", aboutVersionText()).enabled = false;
  about.addEdit(IDC_ABOUT_FILES, "files", "Files", aboutFilesText()).enabled = false;
  about.addButton(IDOK, "ok", "OK");
  // Its only button and the end of the answers both close it.
  about.run();
}

// The main dialog; the new selection when the user leaves with OK.
std::optional<DWORD> runMainDialog(DWORD registered) {
  platform::CDialog dlg("GWSync Registration", IDD_SYNCREG);
  for (const ConduitEntry& c : kConduits) dlg.addCheck(c.checkId, c.checkName, c.label, (registered & c.bit) != 0);
  // The system menu's About entry.
  dlg.addButton(IDM_ABOUTBOX, "about", "About GWSync Registration...");
  dlg.addButton(IDOK, "ok", "OK");
  dlg.addButton(IDCANCEL, "cancel", "Cancel");
  for (;;) {
    switch (dlg.run()) {
      case IDOK: {
        DWORD selection = 0;
        for (const ConduitEntry& c : kConduits)
          if (dlg.checked(c.checkId)) selection |= c.bit;
        return selection;
      }
      case IDCANCEL: return std::nullopt;
      case IDM_ABOUTBOX: showAboutBox(); break;
      default:  // a check box changed: nothing to do until OK
        break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CConduitManager cm;
  if (!cm.load()) {
    std::fprintf(stderr, "syncreg: %s; no conduit was registered or removed.\n", cm.problem().c_str());
    return 1;
  }

  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += std::string(i > 1 ? " " : "") + argv[i];
  std::transform(commandLine.begin(), commandLine.end(), commandLine.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (commandLine.find("clear") != std::string::npos) {
    clearRegistrations(cm);
    restartHotSync(cm);
    return 0;
  }

  const DWORD registered = cm.registeredSelection();
  std::optional<DWORD> selection = runMainDialog(registered);
  if (selection && *selection != registered) {
    applySelection(cm, *selection, registered);
    restartHotSync(cm);
  }
  return 0;
}
