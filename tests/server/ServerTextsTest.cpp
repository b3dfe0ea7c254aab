#include "server/ServerTexts.h"

#include <gtest/gtest.h>

#include <string>

#include "SjisReference.h"

namespace quorvel {
namespace {

using test::Sjis;

struct TextCase {
    const char* constant;
    const char* utf8;
};

// Each constant against iconv's CP932 form of the text as it is meant to read.
TEST(ServerTextsTest, EveryJapaneseTextIsItsShiftJisForm) {
    const TextCase cases[] = {
        {texts::kServiceDescription, u8"古典的な Syslog サーバサービスを提供します。\r\nバージョン\r\n1.02\r\nインストールフォルダ\r\n"},
        {texts::kEventConfigMissing, u8"設定ファイルに不備がありサービスを開始できませんでした。"},
        {texts::kEventServerStarted, u8"Quorvel Server が開始しました"},
        {texts::kEventServerStopped, u8"Quorvel Server が停止しました"},
        {texts::kEventServerStopFailed, u8"Quorvel  Server の停止中にエラーが発生しました"},
        {texts::kEventWs2NotLoaded, u8"ws2_32.dll がロードできません。"},
        {texts::kEventFreeAddrInfoMissing, u8"FreeAddrInfo() が見つかりません。"},
        {texts::kEventGetAddrInfoMissing, u8"GetAddrInfo() が見つかりません。"},
        {texts::kEventInstanceStartFailedSuffix, u8"] 開始時にエラーが発生しました。"},
        {texts::kLogBindStartDual, u8"Bind 処理開始 (IPv4/IPv6)"},
        {texts::kLogBindStartIPv4Only, u8"Bind 処理開始 (IPv4 Only)"},
        {texts::kLogMailHeld, u8" 宛のメールは送信間隔内のため保留し、次のメールで件数を知らせます。("},
        {texts::kMailHeldCount, u8"送信間隔内のため保留した同じキーワードの通知: "},
        {texts::kMailHeldFirst, u8" 件 (最初 "},
        {texts::kMailHeldLast, u8"、最後 "},
        {texts::kLogServiceStarted, u8"Quorvel サービスを開始しました。"},
        {texts::kLogIPv6Enabled, u8"IPv6を有効にしました。"},
        {texts::kLogServiceStartFailed, u8"Quorvel サービスを開始に失敗しました"},
        {texts::kLogServiceStopped, u8"Quorvel サービスを停止しました"},
        {texts::kLogSocketFailed, u8"Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {texts::kLogBindFailed, u8"Quorvel 待機用ソケットの Bind に失敗しました、IPアドレス及びポートを確認してください。("},
        {texts::kLogSelectFailed, u8"Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {texts::kLogIPv4SocketFailed, u8"IPv4用 Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {texts::kLogIPv4BindFailed, u8"IPv4用 Quorvel 待機用ソケットの Bind に失敗しました。IPアドレス及びポートを確認してください。"},
        {texts::kLogIPv4SelectFailed, u8"IPv4用 Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {texts::kLogIPv6SocketFailed, u8"IPv6用 Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {texts::kLogIPv6BindFailed, u8"IPv6用 Quorvel 待機用ソケットの Bind に失敗しました。IPアドレス及びポートを確認してください。"},
        {texts::kLogIPv6SelectFailed, u8"IPv6用 Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {texts::kLogResolveFailed, u8"Bind アドレスの解決に失敗しました。IPアドレス及びポートを確認してください。("},
        {texts::kLogProcessingFailed, u8"受信処理中に原因不明のエラーが発生 ("},
        {texts::kLogMailTo, u8" へ "},
        {texts::kLogMailSent, u8" 宛のメール送信を行いました。("},
        {texts::kLogMailFailed, u8" 宛のメール送信に失敗しました。"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(c.constant), Sjis(c.utf8)) << c.utf8;
    }
}

}  // namespace
}  // namespace quorvel
