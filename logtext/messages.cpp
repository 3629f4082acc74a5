// liblogtext.so: the text of every user message, looked up by id.
//
// Each text is one line ending in CR LF and a printf format whose conversions
// take exactly the arguments that log/msgids.h lists for its id.
#include "log/msgids.h"
#include "platform/msgtable.h"

GWSYNC_EXPORT_MESSAGE_TABLE = {
    {MSG_CFG_NO_SERVER_URL, "Please enter the address (URL) of the groupware server.\r\n"},
    {MSG_CFG_NO_USER, "Please choose the groupware user to synchronise with.\r\n"},
    {MSG_AUTH_NO_USER_NAME, "Please enter the user name for the web server's authentication.\r\n"},
    {MSG_AUTH_NO_PASSWORD, "Please enter the password for the web server's authentication.\r\n"},
    {MSG_TEST_AUTH_FAILED, "Connection test: the web server's authentication could not be set up.\r\n"},
    {MSG_TEST_OPEN_FAILED, "Connection test: the groupware server could not be reached. Check the address.\r\n"},
    {MSG_TEST_USER_NOT_FOUND, "Connection test: the chosen user is not known to the groupware server.\r\n"},
    {MSG_TEST_LOGIN_REFUSED, "Connection test: the groupware server refused the login. Check the password.\r\n"},
    {MSG_TEST_SUCCEEDED, "Connection test succeeded: the groupware server accepted the login.\r\n"},
    {MSG_SYNC_SUCCEEDED, "%s: synchronisation finished successfully.\r\n"},
    {MSG_SYNC_FAILED, "%s: synchronisation could not be completed.\r\n"},
    {MSG_SYNC_NOT_WANTED, "%s: the server's settings ask for no synchronisation.\r\n"},
    {MSG_CONFLICT_SERVER_WINS, "Changed on both the handheld and the server; the server's version was kept: %s\r\n"},
    {MSG_RESTORED_FROM_SERVER, "Deleted on the handheld but changed on the server; restored on the handheld: %s\r\n"},
    {MSG_RECREATED_ON_SERVER, "Changed on the handheld but deleted on the server; created again on the server: %s\r\n"},
    {MSG_MAILS_FILTERED,
     "%u new mail(s) on the server were not copied to the handheld because of its mail "
     "filter.\r\n"},
    {MSG_OUT_OF_MEMORY, "Out of memory in %s::%s: %s.\r\n"},
    {MSG_WRONG_INDEX, "Internal error in %s::%s: index %d is out of range.\r\n"},
    {MSG_REGISTRY_FAILED, "%s failed in %s (%s), %s: error %u, %s\r\n"},
    {MSG_CONFIG_NOT_LOADED, "The synchronisation settings could not be loaded.\r\n"},
    {MSG_CONFIG_NOT_SAVED, "The synchronisation settings could not be saved.\r\n"},
    {MSG_SYNCMGR_FAILED, "The handheld reported an error in %s: error 0x%x.\r\n"},
    {MSG_HH_DB_NOT_OPENED, "The handheld database %s on card %d could not be opened: error 0x%x.\r\n"},
    {MSG_MEMO_NO_CATEGORY,
     "Memo Pad has no free category for \"%s\"; delete a category on the handheld and "
     "synchronise again.\r\n"},
    {MSG_MAIL_NO_FILED_CATEGORY,
     "Mail has no free category for \"%s\", where sent mail is kept, so no mail was sent; "
     "delete a category on the handheld and synchronise again.\r\n"},
    {MSG_TODO_NO_CATEGORY, "To Do List has no free category for \"%s\": \"%s\" stays in Unfiled on the handheld.\r\n"},
    {MSG_APPINFO_TOO_SHORT, "The handheld database's category information is too short (%d bytes, %d needed).\r\n"},
    {MSG_MAIL_PREF_TOO_SHORT,
     "The handheld's mail settings are too short (%d bytes, %d needed); the mail filter is not "
     "used.\r\n"},
    {MSG_SESSION_NOT_OPENED,
     "The connection to the groupware server could not be opened. Check the server address and "
     "the authentication settings.\r\n"},
    {MSG_LOGIN_FAILED, "The groupware user could not be found or could not log in.\r\n"},
    {MSG_MAIL_SEND_FAILED, "The handheld's outgoing mail could not be sent through the server.\r\n"},
    {MSG_SERVER_REQUEST_FAILED, "Server request failed: %s (error %d, detail %d) %s\r\n"},
    {MSG_LOGIN_EXPIRED, "The groupware server reports that the login has expired or was not made.\r\n"},
    {MSG_LOGIN_BAD_CREDENTIALS, "The groupware server does not know this user or the password is wrong.\r\n"},
    {MSG_SERVER_RECORD_NOT_CONVERTED, "A server record could not be copied to the handheld: %s\r\n"},
    {MSG_HH_RECORD_NOT_CONVERTED, "A handheld record could not be copied to the server: %s\r\n"},
    {0, nullptr},
};
