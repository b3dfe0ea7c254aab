#include "server/CheckTexts.h"

#include <gtest/gtest.h>

#include <string>

#include "SjisReference.h"

namespace quorvel {
namespace {

// Each constant against iconv's CP932 form of the text it is meant to read.
TEST(CheckTextsTest, EveryJapaneseTextIsItsShiftJisForm) {
    const struct {
        const char* constant;
        const char* utf8;
    } cases[] = {
        {texts::kCheckBadSetting, u8"設定に誤りがあるためサービスを開始できません: "},
        {texts::kReasonLogNameOutside, u8"ログ名は logs フォルダの中のファイル名にしてください (絶対パス、\"..\"、\".\"、フォルダ名は使えません)"},
        {texts::kReasonLogCannotOpen, u8"ログファイルを追記用に開けません"},
        {texts::kReasonPortNotNumber, u8"ポート番号が数値ではありません"},
        {texts::kReasonPortRange, u8"ポート番号は 1 から 65535 で指定してください (-1 はインスタンスなし)"},
        {texts::kLogRefused, u8"ログファイルへの書き込みを拒否しました (シンボリックリンク、フォルダまたは特殊ファイル): "},
        {texts::kEventOperationLogLost, u8"動作ログに書き込めません: "},
        {texts::kNoteLine, u8"行 "},
        {texts::kNoteUnknownKey, u8"設定ファイルの不明なキーを無視しました: "},
        {texts::kNoteInstancePastTenth, u8"11 番目以降のインスタンスの設定は使われません: "},
        {texts::kNoteKeywordBlockOpen, u8"KEYWORDLISTEND がないため、これ以降のすべての行をキーワードとして読みました: "},
        {texts::kNoteIniReadable, u8"SMTPAUTHPASS を含む設定ファイルを他のユーザーが読めます: "},
        {texts::kNoteLogsFolderRestricted, u8"logs フォルダから他のユーザーのアクセス権を外しました: "},
        {texts::kNoteSignalIgnored, u8"サービスとして実行中のため、シグナルを無視しました (signal "},
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(c.constant), test::Sjis(c.utf8)) << c.utf8;
}

}  // namespace
}  // namespace quorvel
