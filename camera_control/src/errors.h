// Result codes of the camera control library and the texts of those that have one.
#pragma once

namespace qelm {

enum ResultCode : int {
  ERR_SUCCESS = 0,
  ERR_PARAM = 1,
  ERR_SOCKET_NULL = 2,
  ERR_THREAD = 3,
  ERR_SEARCH_HANDLE_NULL = 4,
  ERR_SEARCH_CMD = 5,
  ERR_SEARCH_SEND = 6,
  ERR_NO_DEVICE = 7,
  ERR_ALREADY_OPEN = 8,
  ERR_CONTROL_THREAD = 9,
  ERR_XML_PARSER_NULL = 10,
  ERR_XML_THREAD = 11,
  ERR_XML_VERSION = 12,
  ERR_XML_EXTENDED = 13,
  ERR_DISCONNECTED = 14,
  ERR_XML_NAMESPACE = 15,
  ERR_PARAM_NAME = 16,
  ERR_SEND = 17,
  ERR_PARAM_CODE = 18,
  ERR_BUILD_CMD = 19,
  ERR_NOT_INIT = 20,
  ERR_PING = 21,
  ERR_OTHER = 100,
  ERR_DATA_THREAD = 101,
  ERR_BMP = 102,
  ERR_REPLY_ITEM = 104,
  ERR_REPLY_TOO_LONG = 105,
  ERR_REPLY_LEN_A = 106,
  ERR_REPLY_LEN_B = 107,
  ERR_UPDATE_OPEN = 150,
  ERR_UPDATE_FILE = 151,
  ERR_PCK_MISSING = 152,
  ERR_SEND_FILE_INFO = 153,
  ERR_DB_LOAD = 155,
  ERR_DB_NONE = 156,
  ERR_DB_MISMATCH = 157,
  ERR_ALG_ALLOC = 158,
  ERR_ALG_READ = 159,
  ERR_FTP_CONNECT = 160,
  ERR_TIMEOUT = 209,
};

// Inserts the texts; codes already present keep theirs.
void InitErrorTable();
void ClearErrorTable();

}  // namespace qelm
