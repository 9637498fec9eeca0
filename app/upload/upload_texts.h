#pragma once

// The operator's texts of the upload run, exactly as the terminal operators know them.

inline constexpr const char* kSpeedText115200 = ":115.2KBps/";
inline constexpr const char* kSpeedTextOther = ":38.4Kbps/";
inline constexpr const char* kModeTextDirect = "RS232C通信(LNU-40/45)";
inline constexpr const char* kModeTextAdapter = "IR通信(CQD-6xxx/QR-30)";
inline constexpr const char* kOpenError = "ｵｰﾌﾟﾝｴﾗｰ";
inline constexpr const char* kOpenSucceeded = "ｵｰﾌﾟﾝ成功";
inline constexpr const char* kPortDisconnected = "ﾎﾟｰﾄ切断ｴﾗｰ";
inline constexpr const char* kWaitingForPort = "ﾎﾟｰﾄ再接続待ち";
inline constexpr const char* kEnquiryChecksumError = "ENQ送信/ﾌｧｲﾙ名受信 : CRC ｴﾗｰ";
inline constexpr const char* kEnquiryFormatError = "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ";
// The cause after a refused enquiry answer that was a good frame; the last two are followed by the
// character (or the count as received) and ")".
inline constexpr const char* kTerminalIdMissing = "端末IDがありません";
inline constexpr const char* kTerminalIdBadCharacter = "端末IDに使えない文字があります (";
inline constexpr const char* kRecordCountInvalid = "ﾚｺｰﾄﾞ件数が不正です (";
inline constexpr const char* kRecordProgress = "ﾚｺｰﾄﾞ受信 : ";
inline constexpr const char* kRecordTimeout = "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ";
inline constexpr const char* kRecordChecksumError = "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ";
inline constexpr const char* kRecordFormatError = "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ";
inline constexpr const char* kRecordCountOverflow = "ﾚｺｰﾄﾞ受信 : 件数ｵｰﾊﾞｰ ｴﾗｰ";
inline constexpr const char* kMailDone = "宛 ﾒｰﾙ登録完了";
inline constexpr const char* kMailFailed = "宛 ﾒｰﾙ登録失敗:";
inline constexpr const char* kNormalEndHead = "ﾚｺｰﾄﾞ受信<";
inline constexpr const char* kNormalEndTail = "> : 正常終了";
inline constexpr const char* kAbnormalEnd = "異常終了";
inline constexpr const char* kAckSendError = "ACK送信ｴﾗｰ";
inline constexpr const char* kNoStoreForFormat = "保存ﾌｧｲﾙ形式が正しくありません : SaveFormat=";
inline constexpr const char* kWaitingForTerminal = "端末待ち ";
inline constexpr const char* kStopPressed = "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました";
inline constexpr const char* kBackFileOpenTag = "<BackFile> ";
inline constexpr const char* kLogFileOpenTag = "<LogFile> ";
inline constexpr const char* kBackFileWriteTag = "<BackFile#1WR> ";
