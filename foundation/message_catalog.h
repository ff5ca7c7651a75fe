// The user-visible texts of the engine, the web server, the mail code and the IDE, named by
// slot number so that all wording lives in one place. The table is a constant built at compile
// time: reading it needs no lock and no start-up order, so any thread may use it at any time.
//
// Some texts are printf formats ("%s", "%d", "%%"). Take those through Format(slot), a
// compile-time constant, so that the compiler checks the arguments of the formatting call just
// as it checks a literal. Every other text is used unchanged and must never be used as a format.
#pragma once

#include <array>

// Slots named once for every file that raises them; a slot that a single file raises may instead be
// named in that file.
constexpr int kMsgSetUpDatabase = 4;               // "Please run Tarnwick Console to set up the ..."
constexpr int kMsgNoDataSource = 5;                // "Internal error. No data source is defined. "
constexpr int kMsgDataSourceAllocation = 6;        // "Failed to allocate new database object."
constexpr int kMsgDataSourceNotFound = 7;          // "Data source [%s] not found. ..."
constexpr int kMsgConnectFailed = 8;               // "System failed to connect to the database. ..."
constexpr int kMsgConnectionBroken = 9;            // "System's connection to the database is broken. ..."
constexpr int kMsgForceLongColumns = 10;           // "Please use ODBC administrator to configure ..."
constexpr int kMsgMoreErrors = 25;                 // " More errors when rolling back and cleaning up. "
constexpr int kMsgCommitFailed = 44;               // "Failed to commit transaction."
constexpr int kMsgOutOfMemoryLocal = 45;           // "Out of memory for local variable."
constexpr int kMsgParameterOutOfBound = 52;        // "out of bound in GetParamStr."
constexpr int kMsgOutOfMemory = 53;                // "Out of memory"
constexpr int kMsgOutOfMemoryServerVariable = 54;  // "Out of memory for server variable."
constexpr int kMsgOutOfMemoryDataSource = 58;      // "Out of memory when creating data source."
constexpr int kMsgFailedToOpen = 64;               // "Failed to open file: "
constexpr int kMsgMissingHeaderParameter = 69;     // "Missing parameter for AddHeader."
constexpr int kMsgUnknownResponseField = 73;       // "Unknown response field: "
constexpr int kMsgMissingParameter = 74;           // "Missing parameter."
constexpr int kMsgUnknownTokenizerField = 76;      // "Unknown tokenizer field: "
constexpr int kMsgNameUsed = 89;                   // "The variable or function name has been used. ..."
constexpr int kMsgMissingSemicolon = 90;           // "Missing ending ;"
constexpr int kMsgMissingEndIf = 101;              // "Missing matching endif."
constexpr int kMsgMissingEndWhile = 102;           // "Missing matching endwhile."
constexpr int kMsgNoRequest = 119;                 // "Request object not available."
constexpr int kMsgNestedTransaction = 123;         // "Nested transactions not supported."
constexpr int kMsgAddColumnToSelect = 142;         // "Please add column: [%s] to %s's SELECT list."
constexpr int kMsgIncorrectParameterCount = 143;   // "Incorrect number of parameter."
constexpr int kMsgUnknownDateTimeField = 144;      // "Unknown datetime field: "
constexpr int kMsgCookieTextRefused = 165;         // "A cookie name or path may not hold ..."
constexpr int kMsgTextTooLong = 167;               // "A text that one call makes may hold at most 16 MiB ..."
constexpr int kMsgKindNotMade = 170;               // "The program that runs this script makes no objects of ..."

class CMessageCatalog
{
public:
    static constexpr int kSlotCount = 171;

    // The text of a slot. A slot without a text, or a number outside 0..kSlotCount - 1, gives ""
    // so that a wrong slot number shows up as an empty message rather than a crash.
    static const char* Text(int slot) noexcept;

    // The text of a format slot. Asking for a slot that holds no placeholder fails to compile.
    static consteval const char* Format(int slot)
    {
        if (slot < 0 || slot >= kSlotCount || kTexts[slot] == nullptr || !HasConversion(kTexts[slot]))
            throw "not a format slot of the message catalogue";
        return kTexts[slot];
    }

private:
    static constexpr bool HasConversion(const char* text)
    {
        for (const char* p = text; *p != '\0'; ++p) {
            if (*p != '%')
                continue;
            if (p[1] == '%') {
                ++p;
                continue;
            }
            const char* spec = p + 1;
            while (*spec == '-' || *spec == '+' || *spec == ' ' || *spec == '#' || *spec == '.' ||
                   (*spec >= '0' && *spec <= '9'))
                ++spec;
            if (*spec == 's' || *spec == 'd')
                return true;
        }
        return false;
    }

    static const std::array<const char*, kSlotCount> kTexts;
};

// Texts that end in ": " are followed by the offending name or value.
inline constexpr std::array<const char*, CMessageCatalog::kSlotCount> CMessageCatalog::kTexts = [] {
    std::array<const char*, kSlotCount> t{};
    t[0] = "The server expects an encrypted attachment file URL.\r\n\r\nYou need to use the to.fileUrl() "
           "function to encrypt attachment file IDs in all web page templates or disable server's file ID "
           "encryption mode by adding the line EncryptFileID=no to the settings file etc/settings.conf in "
           "the installation folder, then restart Tarnwick Server. ";
    t[1] = "The server expects a non-encrypted attachment file URL.\r\n\r\nYou need to remove all "
           "to.fileUrl() from the web page templates or enable server's file ID encryption by removing the "
           "EncryptFileID line from the settings file etc/settings.conf in the installation folder, then "
           "restart Tarnwick Server. ";
    t[2] = "Invalid file attachment ID. Please go back to the web page that contains this link, refresh it "
           "and then try again. ";
    t[3] = "Internal Error.";
    t[4] = "Please run Tarnwick Console to set up the database connection first.";
    t[5] = "Internal error. No data source is defined. ";
    t[6] = "Failed to allocate new database object.";
    t[7] = "Data source [%s] not found. Please run Tarnwick Console to create or select another one for "
           "Tarnwick Server to store your data.";
    t[8] = "System failed to connect to the database. The database or network may be down. Please retry "
           "later.";
    t[9] = "System's connection to the database is broken. Please retry and the system will try to reconnect"
           " to the database.";
    t[10] = "Please use ODBC administrator to configure this data source and check the \"Force Retrieval of "
            "Long Columns\" checkbox in the WorkAround Options group. And then restart Tarnwick Server. ";
    t[12] = "Failed to wait for server thread to exit. Make sure your ODBC driver is thread-safe and that its "
            "calls return when their connection is closed.";
    t[13] = "Missing field name.";
    t[14] = "Your session (%s) has been terminated. Please log on again. Possible reasons: It has expired; It"
            " has been terminated by a manager; The server has been restarted; You have multiple sessions on "
            "this machine and you have logged off from one of them.";
    t[15] = "Your browser did not send your Session ID. Possible reasons: (1) You have not logged on to this "
            "application yet; (2) Your browser is set to reject cookies; (3) The name of the server computer "
            "contains non-standard characters such as an underscore. To fix the problem, please log on, "
            "enable your browser to accept cookies or rename the server computer using letters [aA-zZ], "
            "digits [0-9] and hyphens [-] only.";
    t[16] = "The amount of data you sent has exceeded the limit of %d MB. ";
    t[17] = "Content-Length missing from your HTTP request.";
    t[20] = "Your session (%s) has expired; Please log on again.";
    t[23] = " will be deleted because a new file with same name needs to be moved into the same folder.";
    t[24] = "Missing CommitTransaction(). All database changes are discarded. ";
    t[25] = " More errors when rolling back and cleaning up. ";
    t[26] = "Default tasks missing. Please shutdown and restart server. ";
    t[27] = "No more attachment in the email.";
    t[28] = "Out of memory when copying email data.";
    t[29] = "Email_In.fetch is obsolete. Please replace it with FetchMail. After the email is processed, call"
            " DeleteMail to delete it. ";
    t[30] = "Out of memory when copying uploaded data.";
    t[31] = "Out of memory when processing if.";
    t[32] = "Out of memory when processing while.";
    t[33] = "Out of memory in set statement";
    t[34] = "Out of memory when creating new sql object.";
    t[35] = "Out of memory when creating new file upload object.";
    t[36] = "Out of memory when creating new tokenizer object.";
    t[37] = "Out of memory when creating new email_in object.";
    t[38] = "Out of memory when creating new email_out object.";
    t[39] = "Out of memory in EvalParam";
    t[40] = "Missing table name in attachment URL";
    t[41] = "Missing primary key column in attachment URL.";
    t[42] = "Missing primary key value in attachment URL.";
    t[43] = "Missing attachment data column in URL.";
    t[44] = "Failed to commit transaction.";
    t[45] = "Out of memory for local variable.";
    t[46] = "Failed to get a unique ID for table: ";
    t[48] = "User not found.";
    t[49] = "Password incorrect.";
    t[51] = "Session information out of bound. You should check the return value of SessMan.fetch.";
    t[52] = "out of bound in GetParamStr.";
    t[53] = "Out of memory";
    t[54] = "Out of memory for server variable.";
    t[55] = "Out of memory when creating app object.";
    t[56] = "Out of memory for app variable.";
    t[57] = "Out of memory when creating session object.";
    t[58] = "Out of memory when creating data source.";
    t[59] = "The record you are updating or locking is not found. It could have been updated or locked by "
            "somebody else. Please reselect it from the list to edit it or wait until it is released to lock "
            "it.";
    t[60] = "Out of memory for server variable.";
    t[61] = "Out of memory in UseDataSource.";
    t[62] = "Failed to get column for crosstab.";
    t[63] = "Only crosstab queries can use RowCount.";
    t[64] = "Failed to open file: ";
    t[65] = "Failed to create file mapping object.";
    t[66] = "Failed to map script file.";
    t[67] = "Failed to create output file.";
    t[68] = "Unknown Email_In field: ";
    t[69] = "Missing parameter for AddHeader.";
    t[70] = "Unknown Email_Out field: ";
    t[71] = "Unknown file upload field: ";
    t[72] = " is not a request function nor a form field in: ";
    t[73] = "Unknown response field: ";
    t[74] = "Missing parameter.";
    t[75] = "Session variable not defined. Use a set statement to define it: ";
    t[76] = "Unknown tokenizer field: ";
    t[77] = "App variable not defined. Use a set statement to define it: ";
    t[78] = "Server variable not defined. Use a set statement to define it: ";
    t[79] = "This application has not been initialized. Please click your browser's Back button, then click "
            "your browser's Refresh button, then logon again. \r\n\r\nIf you are not logging on, you need to "
            "go to index.twp, click your browser's Refresh button first before accessing this page. \r\n\r\n"
            "The most common reason for this error is that your browser displayed the cached index.twp page "
            "to you without getting it from Tarnwick Server. Before you can use application variables, you "
            "need to initialize an application. Normally, app.init is called in index.twp to initialize an "
            "application. ";
    t[80] = "Missing }--";
    t[81] = "Should be }-->";
    t[82] = "Found an 'elseif', 'else' or 'endif' without a matching 'if'";
    t[83] = "Missing matching while. ";
    t[84] = "Break must be inside a while loop.";
    t[85] = "continue must be inside a while loop.";
    t[86] = "Missing . in set a.b = ... statement.";
    t[87] = "Missing = in set statement.";
    t[88] = "Missing = in SQL definition statement.";
    t[89] = "The variable or function name has been used. Please choose another one: ";
    t[90] = "Missing ending ;";
    t[91] = "Missing = ";
    t[92] = "FileUpload must be initialized by Request.a_form_field";
    t[93] = "file object syntax: \r\nfile att1('request.attachment1'); // file upload  \r\nfile "
            "fs1('appInit.twp');  // file on server ";
    t[94] = "File field is not found in the data the browser sent: ";
    t[95] = "Failed to get the uploaded file: ";
    t[96] = "String missing ending single quote.";
    t[97] = "Missing ending }.";
    t[98] = "Missing ending )";
    t[99] = "Missing (";
    t[100] = "Missing , or WHERE";
    t[101] = "Missing matching endif.";
    t[102] = "Missing matching endwhile.";
    t[103] = "Expression missing before And/Or.";
    t[104] = "Expression missing after And/Or.";
    t[105] = "Found two consecutive comparison operators.";
    t[106] = "Expression missing before comparison.";
    t[107] = "Expression missing after comparison.";
    t[108] = "Missing operator.";
    t[109] = "Missing left operand before */%+-.";
    t[110] = "Missing right operand after */%+-.";
    t[111] = "Right operand should be a TimeSpan.";
    t[112] = "Right operand should be a datetime field.";
    t[113] = "Right operand should be a TimeSpan or datetime field.";
    t[114] = "Parameter needs to be a number or an interval.";
    t[115] = "Operation not allowed on these operands.";
    t[116] = "Unknown string library \"string\" function: ";
    t[117] = "Unknown conversion library \"to\" function: ";
    t[118] = "Unknown global function: ";
    t[119] = "Request object not available.";
    t[120] = "Response object not available.";
    t[121] = "Unknown Object: ";
    t[122] = "Missing parameter before comma.";
    t[123] = "Nested transactions not supported.";
    t[124] = "Session object can only be used in .twp files.";
    t[125] = "Unknown SessMan field.";
    t[126] = "Local variable not defined. Use a set statement to define it: ";
    t[127] = "SQL statement aborted due to possible SQL Injection attack. ";
    t[128] = "Sql statement empty.";
    t[129] = "SQL statement not supported. Please consider using a string to construct this SQL statement if "
             "your database supports it: ";
    t[130] = "Missing FROM.";
    t[131] = "duplicate column found: ";
    t[132] = "Missing VALUES clause: ";
    t[133] = "Value count less than column count or may be there are duplicated column names.";
    t[134] = "Invalid token: ";
    t[135] = "Missing WHERE clause in DELETE statement.";
    t[136] = "Missing operand.";
    t[137] = "Missing column name.";
    t[138] = "Table name is empty.";
    t[139] = "missing SET keyword.";
    t[140] = "Row field or column field is empty.";
    t[141] = "Only the following 3 group functions are supported: count, sum and avg.";
    t[142] = "Please add column: [%s] to %s's SELECT list.";
    t[143] = "Incorrect number of parameter.";
    t[144] = "Unknown datetime field: ";
    t[145] = "Unknown array function: ";
    t[146] = "UseDataSource can only be called before all SQL related statements.";
    t[147] = "Unknown function or field.";
    t[149] = "Call init function to initialize this LDAP object first.";
    t[150] = "No search result. Call ldap.search_s or ldap.search_st first.";
    t[151] = "No current entry. Call ldap.get_first_entry or ldap.get_next_entry first.";
    t[152] = "No current attribute. Call ldap.get_first_attribute first.";
    t[153] = "No current values. Call ldap.get_values(name) first.";
    t[154] = "ldap.value(index) index out of bound.";
    t[155] = "Current value is NULL. ";
    t[156] = "Maximum output of %dK reached. Output window has been reset.\r\n ";
    t[157] = "Debugger has started its web server at http://%s:%s. It will pause at the breakpoints you have "
             "set in .twp files when it reaches them. Note that if a SSP statement consists of multiple lines,"
             " a breakpoint can be set only on the first line. Otherwise it will be ignored. ";
    t[158] = "Debugger has started its secured web server at https://%s:%s. It will pause at the breakpoints "
             "you have set in .twp files when it reaches them. Note that if a SSP statement consists of "
             "multiple lines, a breakpoint can be set only on the first line. Otherwise it will be ignored. ";
    t[159] = "Make sure the TCP port for Tarnwick Studio is available and this computer's network connection "
             "is not broken. Note that Tarnwick Studio and Tarnwick Server use different ports. ";
    t[160] = "The file you are debugging has been modified after you started debugging it. Debugging result "
             "may not be correct.";
    t[161] = "\r\n-------------------- Response Header --------------------\r\n";
    t[162] = "-------------------- Request Header --------------------\r\n";
    t[163] = "-------------------- HTML Generated ---------------------\r\n";
    t[164] = "<html>\r\n<head>\r\n<title>Tarnwick Server : Connect</title>\r\n</head>\r\n<body>\r\n"
             "<table width=\"100%%\" border=\"0\" cellpadding=\"8\">\r\n<tr><td>\r\n"
             "<h2>Tarnwick Server : Connect</h2>\r\n"
             "<p>Please click the link below to open the site. If your web browser fails to connect, a "
             "firewall on the server computer (nftables, iptables, firewalld or ufw rules) may be blocking the "
             "connection: allow incoming TCP connections to the port of this address.</p>\r\n"
             "<p><a href=\"%s\">%s</a></p>\r\n"
             "<p>Note: old browsers such as Netscape Navigator 4.x are very slow when they connect to a "
             "server on the same computer.</p>\r\n"
             "<hr>\r\n<p><small>Tarnwick Studio 3 - Morvale</small></p>\r\n"
             "</td></tr>\r\n</table>\r\n</body>\r\n</html>\r\n";
    // Refusals of texts and sizes that would break a header line or exhaust the server's memory.
    t[165] = "A cookie name or path may not hold a semicolon, a comma, a blank or a control character, nor "
             "an expiry date a semicolon: ";
    t[166] = "A user ID may not hold a line break.";
    t[167] = "A text that one call makes may hold at most 16 MiB (16777216 bytes).";
    t[168] = "An array may hold at most 1000000 entries.";
    // A database without the server's own tables (data source, table, the command that makes them).
    t[169] = "The data source [%s] has no table %s, where Tarnwick Server keeps data of its own. Create the "
             "server's tables on the Database page of Tarnwick Console, or run %s.";
    // A declaration of a kind whose objects the running program does not make (it registered no
    // maker for the kind, as a program without mail support does for email_in and email_out).
    t[170] = "The program that runs this script makes no objects of the kind: ";
    return t;
}();
