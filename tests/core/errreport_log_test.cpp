#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"

namespace fs = std::filesystem;

namespace {

// Log lines carry this stamp while a test lives.
struct FixedClock {
  FixedClock() {
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_year = 2024 - 1900;
      t.tm_mon = 2;
      t.tm_mday = 5;
      t.tm_hour = 17;
      t.tm_min = 8;
      t.tm_sec = 9;
      return t;
    });
  }
  ~FixedClock() { SetLocalNowHook(nullptr); }
};

const std::string kRunLine = "2024/03/05 17:08:09 *** run\r\n";

}  // namespace

TEST(ErrorReport, NumberFormsAndLayouts) {
  const Failure f{5, u"velkor", u"説明"};
  EXPECT_EQ(BuildErrorReport(u"", f, NumberForm::Signed, ReportLayout::A),
            u"エラー番号 : 5 -- velkor でエラーが発生しました。 説明");
  EXPECT_EQ(BuildErrorReport(u"", f, NumberForm::Bare, ReportLayout::A),
            u"エラー番号 :5 -- velkor でエラーが発生しました。 説明");
  EXPECT_EQ(BuildErrorReport(u"xChkNumERR:", f, NumberForm::Signed, ReportLayout::B),
            u"xChkNumERR:エラー番号 : 5 -- velkor でエラーが発生しました。 \r\n説明");
  EXPECT_EQ(BuildErrorReport(u"SYSTEM-ERROR： ShellWaitERR： ", f, NumberForm::Bare, ReportLayout::C),
            u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :5 -- velkor でエラーが発生しました。   \r\n説明 ： ");
  const Failure negative{-2147467259, u"src", u"d"};
  EXPECT_EQ(BuildErrorReport(u"", negative, NumberForm::Signed, ReportLayout::A),
            u"エラー番号 :-2147467259 -- src でエラーが発生しました。 d");
  EXPECT_EQ(BuildErrorReport(u"", negative, NumberForm::Bare, ReportLayout::A),
            u"エラー番号 :-2147467259 -- src でエラーが発生しました。 d");
}

TEST(ErrorReport, CaughtFailures) {
  ProgramInTempDir program(u"vkprog");
  auto caught = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return CurrentFailure();
    }
    return Failure{};
  };
  const Failure own = caught([] { throw VkError(ErrNo::FileNotFound); });
  EXPECT_EQ(own.number, 53);
  EXPECT_EQ(own.source, u"vkprog");
  EXPECT_EQ(own.description, ErrorDescription(ErrNo::FileNotFound));
  EXPECT_EQ(caught([] { throw VkError(ErrNo::FileAccess, u"理由"); }).description, u"理由");
  EXPECT_EQ(caught([] { throw std::bad_alloc(); }).number, ErrNo::OutOfMemory);
  const Failure other = caught([] { throw std::runtime_error("boom"); });
  EXPECT_EQ(other.number, ErrNo::Unexpected);
  EXPECT_EQ(other.description, u"boom");
  EXPECT_EQ(caught([] { throw 42; }).number, ErrNo::Unexpected);
}

TEST(WriteLog, FirstWriteCreatesFileWithOneLine) {
  ProgramInTempDir program;
  FixedClock clock;
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), kRunLine);
  EXPECT_FALSE(fs::exists(program.file("vktest2.log")));
  WriteLog(u"vktest", u"two\r\nlines");
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), kRunLine + "2024/03/05 17:08:09 *** two\r\nlines\r\n");
  EXPECT_EQ(program.boxes.size(), 0u);
}

TEST(WriteLog, RotatesOnlyAboveTheLimit) {
  ProgramInTempDir program;
  FixedClock clock;
  const std::string full(kLogRotateBytes, 'x');
  WriteBytes(program.file("vktest1.log"), full);
  WriteBytes(program.file("vktest2.log"), "older generation");
  // Exactly at the limit: appended to.
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), full + kRunLine);
  EXPECT_EQ(ReadBytes(program.file("vktest2.log")), "older generation");
  // Now above it: the next write moves it over the older generation first.
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(ReadBytes(program.file("vktest2.log")), full + kRunLine);
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), kRunLine);
  EXPECT_EQ(program.boxes.size(), 0u);
}

TEST(WriteLog, OneByteOverTheLimitRotates) {
  ProgramInTempDir program;
  FixedClock clock;
  const std::string over(kLogRotateBytes + 1, 'y');
  WriteBytes(program.file("vktest1.log"), over);
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(ReadBytes(program.file("vktest2.log")), over);
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), kRunLine);
}

TEST(WriteLog, UnwritableLogShowsTheReportDirectly) {
  ProgramInTempDir program;
  fs::create_directory(program.file("vktest1.log"));
  WriteLog(u"vktest", u"run");
  ASSERT_FALSE(program.boxes.empty());
  const std::u16string head = u"エラー番号 : 75 -- vktest でエラーが発生しました。 ";
  for (const std::u16string& box : program.boxes) {
    EXPECT_EQ(box.substr(0, head.size()), head) << ToUtf8(box);
    EXPECT_EQ(box.find(u"\r\n"), std::u16string::npos);  // layout A
  }
  // Not through ReportError: nothing went to the error log.
  EXPECT_FALSE(fs::exists(program.file("vktestERR1.log")));
}

TEST(WriteLog, FailedCopyIsStillFollowedByTheDelete) {
  ProgramInTempDir program;
  FixedClock clock;
  WriteBytes(program.file("vktest1.log"), std::string(kLogRotateBytes + 1, 'z'));
  fs::create_directory(program.file("vktest2.log"));
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(program.boxes.size(), 1u);
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")), kRunLine);
}

TEST(WriteLog, MissingDirectoryShowsOneReport) {
  ProgramInTempDir program;
  SetProgramLocation(FromUtf8(program.file("gone")), u"vktest");
  WriteLog(u"vktest", u"run");
  // The size test finds no file and passes over it; only the append fails.
  EXPECT_EQ(program.boxes.size(), 1u);
}

TEST(WriteLog, UndecodableBytesAreWrittenAsQuestionMarks) {
  ProgramInTempDir program;
  FixedClock clock;
  WriteLog(u"vktest", FromAnsi("220 \xff\xfe ready") + u" caf\u00e9 【正常】");
  EXPECT_EQ(ReadBytes(program.file("vktest1.log")),
            "2024/03/05 17:08:09 *** 220 ?? ready caf? " + ToAnsi(u"【正常】") + "\r\n");
}

TEST(ErrorLog, LineStartsWithABlankAndPrefixIsKept) {
  ProgramInTempDir program;
  FixedClock clock;
  WriteErrorLog(u"first");
  EXPECT_EQ(ReadBytes(program.file("vktestERR1.log")), " 2024/03/05 17:08:09 *** first\r\n");
  // The prefix is fixed by the first write.
  SetProgramLocation(program.dir().path16(), u"renamed");
  WriteErrorLog(u"second");
  EXPECT_EQ(ReadBytes(program.file("vktestERR1.log")),
            " 2024/03/05 17:08:09 *** first\r\n 2024/03/05 17:08:09 *** second\r\n");
  ResetErrorLogPrefix();
  WriteErrorLog(u"third");
  EXPECT_EQ(ReadBytes(program.file("renamedERR1.log")), " 2024/03/05 17:08:09 *** third\r\n");
}

TEST(ErrorLog, RotatesAndNeverReportsItsOwnFailures) {
  ProgramInTempDir program;
  FixedClock clock;
  WriteBytes(program.file("vktestERR1.log"), std::string(kLogRotateBytes + 1, 'e'));
  WriteErrorLog(u"after");
  EXPECT_EQ(ReadBytes(program.file("vktestERR1.log")), " 2024/03/05 17:08:09 *** after\r\n");
  EXPECT_EQ(ReadBytes(program.file("vktestERR2.log")).size(), static_cast<size_t>(kLogRotateBytes + 1));

  fs::remove(program.file("vktestERR1.log"));
  fs::create_directory(program.file("vktestERR1.log"));
  WriteErrorLog(u"lost");
  EXPECT_EQ(program.boxes.size(), 0u);
}

TEST(ReportError, LogOnlyWhileTheFlagIsDown) {
  ProgramInTempDir program;
  FixedClock clock;
  ReportError(u"quiet");
  EXPECT_EQ(program.boxes.size(), 0u);
  EXPECT_EQ(ReadBytes(program.file("vktestERR1.log")), " 2024/03/05 17:08:09 *** quiet\r\n");
}

TEST(ReportError, BoxFirstThenTheLogLine) {
  ProgramInTempDir program;
  FixedClock clock;
  SettingsMsgBoxFlag = true;
  std::vector<std::string> logAtBox;
  std::vector<std::u16string> captions;
  SetMessageBoxHook([&](const std::u16string& text, const std::u16string& caption) {
    EXPECT_EQ(text, u"shown");
    captions.push_back(caption);
    logAtBox.push_back(ReadBytes(program.file("vktestERR1.log")));
  });
  ReportError(u"shown");
  ASSERT_EQ(logAtBox.size(), 1u);
  EXPECT_EQ(logAtBox[0], "");
  EXPECT_EQ(captions[0], GetAppTitle());
  EXPECT_EQ(captions[0], u"vktest  Ver： 0.2.5");
  EXPECT_EQ(ReadBytes(program.file("vktestERR1.log")), " 2024/03/05 17:08:09 *** shown\r\n");
}
