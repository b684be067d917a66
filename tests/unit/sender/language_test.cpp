// The dialog's texts from the language file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "language.h"

namespace {

TEST(LanguageFile, TheShippedFileGivesTheDialogItsTexts) {
  std::ifstream in(QV_SOURCE_DIR "/sender/crashreport_lang.ini");
  std::stringstream text;
  text << in.rdbuf();
  const sender::DialogTexts texts = sender::ParseLanguageFile(text.str());
  EXPECT_EQ(sender::FormatCaption(texts.caption, "Quorvanta GUI"), "Quorvanta GUI has stopped working");
  EXPECT_EQ(texts.sendReport, "Send report");
  EXPECT_EQ(texts.close, "Close");
  EXPECT_EQ(texts.details, "Report details");
}

TEST(LanguageFile, OnlyTheDialogSectionCountsAndEmptyValuesKeepTheDefaults) {
  const sender::DialogTexts texts = sender::ParseLanguageFile(
      "[Settings]\nClose=Wrong\n\r\n[ MainDlg ]\r\n; a comment\n  SendReport =  Verzenden \r\n"
      "Close=\nDetails\n[Other]\nDlgCaption=Wrong too\n");
  EXPECT_EQ(texts.sendReport, "Verzenden");
  EXPECT_EQ(texts.close, "Close");
  EXPECT_EQ(texts.details, "Report details");
  EXPECT_EQ(texts.caption, "%s has stopped working");
}

TEST(LanguageFile, CaptionReplacesOnlyItsFirstPlaceholder) {
  EXPECT_EQ(sender::FormatCaption("%s crashed %s %n %x", "App"), "App crashed %s %n %x");
  EXPECT_EQ(sender::FormatCaption("Crash", "App"), "Crash");
  EXPECT_EQ(sender::FormatCaption("%s", "%s"), "%s");
}

}  // namespace
