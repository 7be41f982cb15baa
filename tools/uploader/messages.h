// The uploader's string table: every text the user sees, addressed by the
// message number the service documentation uses. Texts are UTF-8 here; turning
// them into the console's code page is the platform console's job.
#pragma once

#include <string>

namespace uplder {

// The appliance's address in its factory setting, offered when the address
// line is left empty. Shown inside message 32.
extern const char kFactoryDefaultAddress[];

// Message numbers that are used by name in the code.
enum MsgId : int {
    IDS_EXIT_PROMPT = 2,
    IDS_ENTER_ADDRESS = 3,
    IDS_PROMPT = 4,
    IDS_FTP_LOGIN_FAILED = 7,
    IDS_DETAILS = 8,
    IDS_TRANSFER_START = 9,
    IDS_SEARCH_FAILED = 10,
    IDS_LOCAL_CD_FAILED = 11,
    IDS_REMOTE_CD_FAILED = 12,
    IDS_PUT_FAILED = 13,
    IDS_TRANSFER_DONE = 14,
    IDS_LOCAL_OP_FAILED = 15,
    IDS_PATH_TOO_LONG = 16,
    IDS_MENU_HEAD = 17,
    IDS_MENU_TRANSFER = 18,
    IDS_MENU_RESET = 19,
    IDS_MENU_OUT_OF_RANGE = 20,
    IDS_ABORTED = 21,
    IDS_SOCKET_INIT_FAILED = 22,
    IDS_LOGIN_TIMEOUT = 23,
    IDS_RESET_SENT = 24,
    IDS_RESET_QUESTION = 25,
    IDS_LOGIN_FAILED = 27,
    IDS_LOGIN_COMM_ERROR = 28,
    IDS_RESET_COMM_ERROR = 29,
    IDS_RESET_TIMEOUT = 30,
    IDS_ERROR = 31,
    IDS_ADDRESS_DEFAULT = 32,
    IDS_MENU_DEFAULT = 33,
    IDS_RESET_DEFAULT = 34,
    IDS_UNPACKED = 35,
    IDS_RESET_NEEDED = 36,
    IDS_MODEL_ORV3 = 37,
    IDS_MODEL_ORV4 = 38,
    IDS_UNPACK_COMM_ERROR = 39,
    IDS_UNPACK_TIMEOUT = 40,
};

// Text of message id, or nullptr when the table has no such id (5, 6, 26 and
// anything outside 2..40), as a resource lookup would fail.
const char* uplder_msg(int id);

// Message id with every "%1" replaced by arg; an unknown id gives "".
std::string uplder_format(int id, const std::string& arg);

// Fixed texts that are kept in the program rather than in the table.
inline constexpr const char* kFatalInit = "Fatal Error: MFC initialization failed";
inline constexpr const char* kProgressLabel = "進行状況：";
inline constexpr const char* kTransferring = "を転送しています。\r\n";
inline constexpr const char* kUnpacking = "転送したデータを展開しています。";
inline constexpr const char* kReportCode = " エラー; コード: ";
inline constexpr const char* kReportDescription = "説明: ";

}  // namespace uplder
