#include "service/ServiceTexts.h"

#include <gtest/gtest.h>

#include "SjisReference.h"

namespace quorvel {
namespace {

TEST(ServiceTextsTest, EveryTextIsTheShiftJisOfItsJapaneseOriginal) {
    struct Case {
        const char* constant;
        const char* utf8;
    } cases[] = {
        {kTextStartFailed, u8"サービスの開始に失敗しました"},
        {kTextRegisterFailed, u8"サービスの登録に失敗しました"},
        {kTextCreateException, u8"サービスの作成時に例外が発生しました"},
        {kTextResumeException, u8"サービスの開始時に例外が発生しました"},
        {kTextStopException, u8"サービスの停止時に例外が発生しました"},
        {kFormatServiceFailure, u8"サービス失敗 %0:s: %1:s"},
        {kFormatCustomFailure, u8"サービスに対するカスタムメッセージ (%d) は失敗しました：%s"},
        {kActionStart, u8"開始"},
        {kActionRun, u8"実行"},
        {kActionStop, u8"停止"},
        {kActionPause, u8"一時停止"},
        {kActionContinue, u8"続行"},
        {kActionInterrogate, u8"との対話"},
        {kActionShutdown, u8"シャットダウン"},
        {kTextInstallFailedPrefix, u8"サービスの登録に失敗しました。(Error code "},
        {kTextRemoveFailedPrefix, u8"サービスの登録解除に失敗しました。(Error code "},
    };
    for (const Case& c : cases) EXPECT_EQ(c.constant, test::Sjis(c.utf8)) << c.utf8;
}

}  // namespace
}  // namespace quorvel
