#include "server/ServerTexts.h"

#include <gtest/gtest.h>

#include <string>

#include "SjisReference.h"

namespace quorvel {
namespace {

using test::Sjis;

struct TextCase {
    const char* name;
    const char* constant;
    const char* utf8;
};

// Each constant against iconv's CP932 form of the text as it is meant to read.
TEST(ServerTextsTest, EveryJapaneseTextIsItsShiftJisForm) {
    const TextCase cases[] = {
        {"description", texts::kServiceDescription,
         u8"古典的な Syslog サーバサービスを提供します。\r\nバージョン\r\n1.02\r\nインストールフォルダ\r\n"},
        {"config missing", texts::kEventConfigMissing, u8"設定ファイルに不備がありサービスを開始できませんでした。"},
        {"server started", texts::kEventServerStarted, u8"Quorvel Server が開始しました"},
        {"server stopped", texts::kEventServerStopped, u8"Quorvel Server が停止しました"},
        {"stop failed", texts::kEventServerStopFailed, u8"Quorvel  Server の停止中にエラーが発生しました"},
        {"ws2", texts::kEventWs2NotLoaded, u8"ws2_32.dll がロードできません。"},
        {"freeaddrinfo", texts::kEventFreeAddrInfoMissing, u8"FreeAddrInfo() が見つかりません。"},
        {"getaddrinfo", texts::kEventGetAddrInfoMissing, u8"GetAddrInfo() が見つかりません。"},
        {"instance failed", texts::kEventInstanceStartFailedSuffix, u8"] 開始時にエラーが発生しました。"},
        {"bind dual", texts::kLogBindStartDual, u8"Bind 処理開始 (IPv4/IPv6)"},
        {"bind v4 only", texts::kLogBindStartIPv4Only, u8"Bind 処理開始 (IPv4 Only)"},
        {"started", texts::kLogServiceStarted, u8"Quorvel サービスを開始しました。"},
        {"ipv6 enabled", texts::kLogIPv6Enabled, u8"IPv6を有効にしました。"},
        {"start failed", texts::kLogServiceStartFailed, u8"Quorvel サービスを開始に失敗しました"},
        {"stopped", texts::kLogServiceStopped, u8"Quorvel サービスを停止しました"},
        {"socket", texts::kLogSocketFailed,
         u8"Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {"bind", texts::kLogBindFailed,
         u8"Quorvel 待機用ソケットの Bind に失敗しました、IPアドレス及びポートを確認してください。("},
        {"select", texts::kLogSelectFailed,
         u8"Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {"v4 socket", texts::kLogIPv4SocketFailed,
         u8"IPv4用 Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {"v4 bind", texts::kLogIPv4BindFailed,
         u8"IPv4用 Quorvel 待機用ソケットの Bind に失敗しました。IPアドレス及びポートを確認してください。"},
        {"v4 select", texts::kLogIPv4SelectFailed,
         u8"IPv4用 Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {"v6 socket", texts::kLogIPv6SocketFailed,
         u8"IPv6用 Quorvel 待機用ソケットの生成に失敗しました。IPアドレス及びポートを確認してください。"},
        {"v6 bind", texts::kLogIPv6BindFailed,
         u8"IPv6用 Quorvel 待機用ソケットの Bind に失敗しました。IPアドレス及びポートを確認してください。"},
        {"v6 select", texts::kLogIPv6SelectFailed,
         u8"IPv6用 Quorvel 待機用ソケットの Select に失敗しました、IPアドレス及びポートを確認してください。("},
        {"processing failed", texts::kLogProcessingFailed, u8"受信処理中に原因不明のエラーが発生 ("},
        {"mail to", texts::kLogMailTo, u8" へ "},
        {"mail sent", texts::kLogMailSent, u8" 宛のメール送信を行いました。("},
        {"mail failed", texts::kLogMailFailed, u8" 宛のメール送信に失敗しました。"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(c.constant), Sjis(c.utf8)) << c.name;
    }
}

}  // namespace
}  // namespace quorvel
