// The conduit's configuration dialogs: the server settings of one handheld
// user (server URL, groupware user chosen from the server's list, password,
// connection test) and the HTTP Basic authentication settings, edited on the
// terminal (platform/dialog.h) and saved to the registry on OK.
//
//   char caption[128], choose[128];
//   conduitText(CONDRES_CAPTION, caption, sizeof caption);
//   conduitText(CONDRES_CHOOSE_USER, choose, sizeof choose);
//   runConfiguration(userName, caption, choose);
//
// Every message goes to a message box through Log::showMsgBox under the
// caption. Used from the thread that calls CfgConduit.
#pragma once

#include "conduits/common/syncconf.h"
#include "gwclient/gwclient.h"

// Resource and control ids of the server settings dialog.
enum : int {
  IDD_SERVER_SETTINGS = 115,
  IDC_USER = 1000,
  IDC_SERVER_URL = 1010,
  IDC_PASSWORD = 1033,
  IDC_REFRESH = 1020,
  IDC_TEST = 1021,
  IDC_BASIC_AUTH = 1022,
};

// Resource and control ids of the Basic authentication dialog.
enum : int {
  IDD_BASIC_AUTH = 117,
  IDC_BA_ENABLE = 1035,
  IDC_BA_USER = 1007,
  IDC_BA_PASSWORD = 1036,
};

// Results of connectForConfiguration.
enum : int {
  CFGCONNECT_OK = 0,
  CFGCONNECT_AUTH = 1,         // the Basic credentials could not be set
  CFGCONNECT_OPEN = 2,         // not opened, locale refused, or no usable server version
  CFGCONNECT_SERVER_AUTH = 5,  // the server's error 18 (not logged in / expired)
  CFGCONNECT_SERVER_USER = 6,  // the server's error 19 (unknown user / wrong password)
};

// Opens session on conf's URL (with its Basic credentials when enabled, no
// proxy), sets the locale "CP1252" and checks that the server's major
// version lies in 2.0 to 2.9. Answers CFGCONNECT_...; the session is left
// open whatever the answer (the caller closes it).
int connectForConfiguration(COfficeSession& session, const CGWSyncConf& conf);

// Edits the configuration of the handheld user userName (at most 63
// characters used): opens the log with the HotSync log bridge, loads the
// configuration (a failure is logged and the defaults are edited), runs the
// server settings dialog and, when it ends with OK, saves; a failed save is
// shown in a box. The log is closed again. caption heads every message box;
// chooseUserText is the user list's first entry, which asks for a choice.
// True when the dialog ended with OK and the configuration was saved.
bool runConfiguration(const char* userName, const char* caption, const char* chooseUserText);

// The two dialogs on an already loaded conf, without the log or the
// registry: true when the user ended with OK (conf then holds the edits;
// after Cancel it may hold the fields stored by refresh and test).
bool runServerSettingsDialog(CGWSyncConf& conf, const char* caption, const char* chooseUserText);
// True on OK (conf then holds flag, user and password); Cancel changes
// nothing.
bool runBasicAuthDialog(CGWSyncConf& conf, const char* caption);
