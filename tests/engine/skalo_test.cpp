#include <gtest/gtest.h>

#include "engine/skalo.h"

namespace skalo {
namespace {

TEST(Job, NewJobHasTheDefaults) {
  TSkalo job;
  EXPECT_EQ(job.Width(), -1);
  EXPECT_EQ(job.Height(), -1);
  EXPECT_EQ(job.MaxWidth(), -1);
  EXPECT_EQ(job.MaxHeight(), -1);
  EXPECT_EQ(job.Compression(), -1);
  EXPECT_EQ(job.Rotation(), 0);
  EXPECT_TRUE(job.ProcessEXIF());
  EXPECT_TRUE(job.ProcessBinary());
  EXPECT_FALSE(job.Whitespace());
  EXPECT_FALSE(job.AutoRotate());
  EXPECT_EQ(job.BackgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(job.ErrorCode(), 0);
  EXPECT_EQ(job.ErrorText(), "");
  EXPECT_EQ(job.Image(), "");
  EXPECT_EQ(job.Output(), "");
  EXPECT_EQ(job.Mime(), "");
  EXPECT_EQ(job.OriginalWidth(), 0);
  EXPECT_EQ(job.ErrorXML(), "<root><errorcode>0</errorcode><errortext></errortext></root>");
  EXPECT_EQ(TSkalo::SkaloVersion(), "Skalo Core 1.5");
}

TEST(Job, ErrorXmlCarriesCodeAndEscapedText) {
  TSkalo job;
  job.SetError(1007,
               "There was an error opening \"/srv/a&b.jpg\". Make sure that the file exists and "
               "that it you have permission to open it.");
  EXPECT_EQ(job.ErrorXML(),
            "<root><errorcode>1007</errorcode><errortext>There was an error opening "
            "&quot;/srv/a&amp;b.jpg&quot;. Make sure that the file exists and that it you have "
            "permission to "
            "open it.</errortext></root>");
}

TEST(Job, ResetRestoresDefaultsButKeepsImageAndOutput) {
  TSkalo job;
  job.SetImage("/img/a.jpg");
  job.SetOutput(".png");
  job.SetWidth(10);
  job.SetHeight(20);
  job.SetMaxWidth(5);
  job.SetCompression(50);
  job.SetRotation(90);
  job.SetWhitespace(true);
  job.SetAutoRotate(true);
  job.SetProcessEXIF(false);
  job.SetProcessBinary(false);
  job.SetBackgroundColor(0x123456);
  job.SetOriginalWidth(400);
  job.SetError(1002, "No filename specified");
  job.Reset();
  EXPECT_EQ(job.Image(), "/img/a.jpg");
  EXPECT_EQ(job.Output(), ".png");
  EXPECT_EQ(job.OriginalWidth(), 400);
  EXPECT_EQ(job.Width(), -1);
  EXPECT_EQ(job.Height(), -1);
  EXPECT_EQ(job.MaxWidth(), -1);
  EXPECT_EQ(job.Compression(), -1);
  EXPECT_EQ(job.Rotation(), 0);
  EXPECT_FALSE(job.Whitespace());
  EXPECT_FALSE(job.AutoRotate());
  EXPECT_TRUE(job.ProcessEXIF());
  EXPECT_TRUE(job.ProcessBinary());
  EXPECT_EQ(job.BackgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(job.ErrorCode(), 0);
  EXPECT_EQ(job.ErrorText(), "");
}

TEST(Job, HtmlColours) {
  struct Case {
    const char* text;
    TColor want;
  } cases[] = {
      {"#FF0000", 0x0000FF}, {"ff8000", 0x0080FF},  {"#fff", 0xFF0FFF},
      {"#", 0xFFFFFF},       {"#GG0000", 0x0000FF}, {"##FF0000", 0x00F0FF},
      {"#00ff00", 0x00FF00}, {"000000", 0x000000},  {"#0000FFextra", 0xFF0000},
      {"#1", 0xFFFF01},      {"#12345", 0x053412},  {"#-10000", 0x0000FF},
  };
  for (const Case& c : cases) {
    TSkalo job;
    job.SetBackgroundColor(0x777777);
    job.SetBackgroundColorHTML(c.text);
    EXPECT_EQ(job.BackgroundColor(), c.want) << "colour " << c.text;
  }
  TSkalo job;
  job.SetBackgroundColor(0x123456);
  job.SetBackgroundColorHTML("");
  EXPECT_EQ(job.BackgroundColor(), 0x123456u);
}

TEST(Job, ExceptionClassesNameThemselves) {
  EXPECT_STREQ(EInvalidFileType("x").ClassName(), "EInvalidFileType");
  EXPECT_STREQ(EMaxSizeExceeded("x").ClassName(), "EMaxSizeExceeded");
  EXPECT_STREQ(EFileNotFound("x").ClassName(), "EFileNotFound");
  try {
    throw ENeedWidthAndHeight("Both width and height is needed for whitespace");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Both width and height is needed for whitespace");
  }
}

}  // namespace
}  // namespace skalo
