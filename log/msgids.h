// The ids of the user messages and the arguments each one takes, in order.
//
// An id's top two bits are its severity (0x4 information, 0xC error); the
// text lives in the message-text library (logtext) as a printf format, so a
// caller must pass exactly the arguments listed here: strings as const char*,
// numbers as 32-bit values (int, DWORD).
//
//   Log::writeLog(MSG_SERVER_REQUEST_FAILED, "fetch addresses", err, detail, text);
#pragma once

#include "platform/wintypes.h"

// Configuration dialog and connection test. No arguments.
constexpr DWORD MSG_CFG_NO_SERVER_URL = 0x4000000a;
constexpr DWORD MSG_CFG_NO_USER = 0x4000000b;
constexpr DWORD MSG_AUTH_NO_USER_NAME = 0x4000000c;
constexpr DWORD MSG_AUTH_NO_PASSWORD = 0x4000000d;
constexpr DWORD MSG_TEST_AUTH_FAILED = 0x40000010;
constexpr DWORD MSG_TEST_OPEN_FAILED = 0x40000011;
constexpr DWORD MSG_TEST_USER_NOT_FOUND = 0x40000012;
constexpr DWORD MSG_TEST_LOGIN_REFUSED = 0x40000013;
constexpr DWORD MSG_TEST_SUCCEEDED = 0x40000015;

// Outcome of a synchronisation. (sync name)
constexpr DWORD MSG_SYNC_SUCCEEDED = 0x40000016;
constexpr DWORD MSG_SYNC_FAILED = 0x40000017;
constexpr DWORD MSG_SYNC_NOT_WANTED = 0x40000018;

// Conflicts resolved record by record. (record identification text)
constexpr DWORD MSG_CONFLICT_SERVER_WINS = 0x40000041;
constexpr DWORD MSG_RESTORED_FROM_SERVER = 0x40000042;
constexpr DWORD MSG_RECREATED_ON_SERVER = 0x40000043;

// New server mails the handheld's filter kept off the handheld. (count)
constexpr DWORD MSG_MAILS_FILTERED = 0x4000004b;

// Allocation failure. (class name, operation, what could not be allocated)
constexpr DWORD MSG_OUT_OF_MEMORY = 0xc0000002;
// Index error. (class name, operation, the index as a 32-bit number)
constexpr DWORD MSG_WRONG_INDEX = 0xc0000003;
// Registry lookup of the configuration path. (registry call, module,
// function, what was opened, error code, the system's text for the code)
constexpr DWORD MSG_REGISTRY_FAILED = 0xc0000005;
// Configuration cannot be loaded / saved. No arguments.
constexpr DWORD MSG_CONFIG_NOT_LOADED = 0xc0000007;
constexpr DWORD MSG_CONFIG_NOT_SAVED = 0xc0000008;
// Sync Manager failure. (function name, error code)
constexpr DWORD MSG_SYNCMGR_FAILED = 0xc0000019;
// Handheld database cannot be opened. (database name, card number, error code)
constexpr DWORD MSG_HH_DB_NOT_OPENED = 0xc000001a;
// Memo Pad has no room for the product's category. (category name)
constexpr DWORD MSG_MEMO_NO_CATEGORY = 0xc000001c;
// Application info block too short. (size found, size required)
constexpr DWORD MSG_APPINFO_TOO_SHORT = 0xc000001d;
// Mail preference shorter than its filter texts. (size, size needed)
constexpr DWORD MSG_MAIL_PREF_TOO_SHORT = 0xc000001e;
// Server session, login and mail sending. No arguments.
constexpr DWORD MSG_SESSION_NOT_OPENED = 0xc000001f;
constexpr DWORD MSG_LOGIN_FAILED = 0xc0000020;
constexpr DWORD MSG_MAIL_SEND_FAILED = 0xc0000021;
// A failed server request. (operation, error code, detail code, detail text)
constexpr DWORD MSG_SERVER_REQUEST_FAILED = 0xc0000022;
// Login refused by the server: not logged in or login expired / unknown
// user or wrong password. No arguments.
constexpr DWORD MSG_LOGIN_EXPIRED = 0xc0000023;
constexpr DWORD MSG_LOGIN_BAD_CREDENTIALS = 0xc0000024;
// A record could not be converted. (record identification text)
constexpr DWORD MSG_SERVER_RECORD_NOT_CONVERTED = 0xc0000049;
constexpr DWORD MSG_HH_RECORD_NOT_CONVERTED = 0xc000004a;
// Mail has no room for the category sent mail is filed in. (category name)
constexpr DWORD MSG_MAIL_NO_FILED_CATEGORY = 0xc000004c;
// To Do List has no room for a server category: the to-do stays in
// Unfiled. A warning. (category name, record identification text)
constexpr DWORD MSG_TODO_NO_CATEGORY = 0x8000004d;
