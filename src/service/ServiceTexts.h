#pragma once
// Event-log texts of the service host and of the server's start and stop
// entries, as the Shift_JIS bytes written to the event log. The UTF-8
// original of each stands in the comment above it.

#include <cstdint>

namespace quorvel {

// Event IDs of the fixed entries; the host's own failures use the platform
// error code or 0 instead.
inline constexpr uint32_t kEventServerStarted = 1;
inline constexpr uint32_t kEventServerStopped = 2;
inline constexpr uint32_t kEventConfigInvalid = 3;
inline constexpr uint32_t kEventServerStopError = 4;
inline constexpr uint32_t kEventWs2NotLoaded = 10;
inline constexpr uint32_t kEventFreeAddrInfoMissing = 11;
inline constexpr uint32_t kEventGetAddrInfoMissing = 12;
inline constexpr uint32_t kEventInstanceStartError = 102;

// サービスの開始に失敗しました
inline constexpr char kTextStartFailed[] = "\x83T\x81[\x83r\x83X\x82\xCC\x8AJ\x8En\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// サービスの登録に失敗しました
inline constexpr char kTextRegisterFailed[] = "\x83T\x81[\x83r\x83X\x82\xCC\x93o\x98^\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// サービスの作成時に例外が発生しました
inline constexpr char kTextCreateException[] = "\x83T\x81[\x83r\x83X\x82\xCC\x8D\xEC\x90\xAC\x8E\x9E\x82\xC9\x97\xE1\x8AO\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// サービスの開始時に例外が発生しました
inline constexpr char kTextResumeException[] = "\x83T\x81[\x83r\x83X\x82\xCC\x8AJ\x8En\x8E\x9E\x82\xC9\x97\xE1\x8AO\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// サービスの停止時に例外が発生しました
inline constexpr char kTextStopException[] = "\x83T\x81[\x83r\x83X\x82\xCC\x92\xE2\x8E~\x8E\x9E\x82\xC9\x97\xE1\x8AO\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// サービス失敗 %0:s: %1:s
inline constexpr char kFormatServiceFailure[] = "\x83T\x81[\x83r\x83X\x8E\xB8\x94s %0:s: %1:s";
// サービスに対するカスタムメッセージ (%d) は失敗しました：%s
inline constexpr char kFormatCustomFailure[] = "\x83T\x81[\x83r\x83X\x82\xC9\x91\xCE\x82\xB7\x82\xE9\x83J\x83X\x83^\x83\x80\x83\x81\x83" "b\x83Z\x81[\x83W (%d) \x82\xCD\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "F%s";
// 開始
inline constexpr char kActionStart[] = "\x8AJ\x8En";
// 実行
inline constexpr char kActionRun[] = "\x8E\xC0\x8Ds";
// 停止
inline constexpr char kActionStop[] = "\x92\xE2\x8E~";
// 一時停止
inline constexpr char kActionPause[] = "\x88\xEA\x8E\x9E\x92\xE2\x8E~";
// 続行
inline constexpr char kActionContinue[] = "\x91\xB1\x8Ds";
// との対話
inline constexpr char kActionInterrogate[] = "\x82\xC6\x82\xCC\x91\xCE\x98" "b";
// シャットダウン
inline constexpr char kActionShutdown[] = "\x83V\x83\x83\x83" "b\x83g\x83_\x83" "E\x83\x93";
// サービスの登録に失敗しました。(Error code   <- ends with a blank; code and ")" follow
inline constexpr char kTextInstallFailedPrefix[] = "\x83T\x81[\x83r\x83X\x82\xCC\x93o\x98^\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "B(Error code ";
// サービスの登録解除に失敗しました。(Error code   <- ends with a blank; code and ")" follow
inline constexpr char kTextRemoveFailedPrefix[] = "\x83T\x81[\x83r\x83X\x82\xCC\x93o\x98^\x89\xF0\x8F\x9C\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "B(Error code ";
// Quorvel Server が開始しました
inline constexpr char kTextServerStarted[] = "Quorvel Server \x82\xAA\x8AJ\x8En\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// Quorvel Server が停止しました
inline constexpr char kTextServerStopped[] = "Quorvel Server \x82\xAA\x92\xE2\x8E~\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// 設定ファイルに不備がありサービスを開始できませんでした。
inline constexpr char kTextConfigInvalid[] = "\x90\xDD\x92\xE8\x83t\x83@\x83" "C\x83\x8B\x82\xC9\x95s\x94\xF5\x82\xAA\x82\xA0\x82\xE8\x83T\x81[\x83r\x83X\x82\xF0\x8AJ\x8En\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81" "B";
// Quorvel  Server の停止中にエラーが発生しました
inline constexpr char kTextServerStopError[] = "Quorvel  Server \x82\xCC\x92\xE2\x8E~\x92\x86\x82\xC9\x83G\x83\x89\x81[\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
// ws2_32.dll がロードできません。
inline constexpr char kTextWs2NotLoaded[] = "ws2_32.dll \x82\xAA\x83\x8D\x81[\x83h\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x81" "B";
// FreeAddrInfo() が見つかりません。
inline constexpr char kTextFreeAddrInfoMissing[] = "FreeAddrInfo() \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B";
// GetAddrInfo() が見つかりません。
inline constexpr char kTextGetAddrInfoMissing[] = "GetAddrInfo() \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81" "B";
// Syslog[
inline constexpr char kTextInstanceStartErrorPrefix[] = "Syslog[";
// ] 開始時にエラーが発生しました。
inline constexpr char kTextInstanceStartErrorSuffix[] = "] \x8AJ\x8En\x8E\x9E\x82\xC9\x83G\x83\x89\x81[\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "B";

}  // namespace quorvel
