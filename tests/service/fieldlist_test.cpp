#include <gtest/gtest.h>

#include "service/web.h"

namespace skalo {
namespace {

std::vector<std::string> Entries(const std::string& query) {
  return TFieldList::FromQuery(query).Entries();
}

using Strings = std::vector<std::string>;

TEST(FieldList, SplitsAtAmpersandsKeepingEmptyEntries) {
  EXPECT_EQ(Entries(""), Strings{});
  EXPECT_EQ(Entries("a=1"), (Strings{"a=1"}));
  EXPECT_EQ(Entries("a=1&&b=2"), (Strings{"a=1", "", "b=2"}));
  EXPECT_EQ(Entries("&a=1"), (Strings{"", "a=1"}));
  EXPECT_EQ(Entries("a=1&"), (Strings{"a=1"}));
  EXPECT_EQ(Entries("&"), (Strings{""}));
  EXPECT_EQ(Entries("&&"), (Strings{"", ""}));
  EXPECT_EQ(Entries("noequals&b=2"), (Strings{"noequals", "b=2"}));
}

TEST(FieldList, CarriageReturnAndLineFeedCutAndAreSkippedAtFieldStart) {
  EXPECT_EQ(Entries("a=1\r\nb=2"), (Strings{"a=1", "b=2"}));
  EXPECT_EQ(Entries("a=1\nb=2\rc=3"), (Strings{"a=1", "b=2", "c=3"}));
  EXPECT_EQ(Entries("\r\n\r\na=1"), (Strings{"a=1"}));
  EXPECT_EQ(Entries("a=1&\r\nb=2"), (Strings{"a=1", "b=2"}));
  EXPECT_EQ(Entries("a=1\r\n"), (Strings{"a=1"}));
}

TEST(FieldList, QuotesProtectSeparators) {
  // A leading quote is dropped with its partner; the rest up to "&" is a field of its own.
  EXPECT_EQ(Entries("\"x&y\"&b=2"), (Strings{"x&y", "", "b=2"}));
  EXPECT_EQ(Entries("\"x&y\"tail&b=2"), (Strings{"x&y", "tail", "b=2"}));
  EXPECT_EQ(Entries("\"x\r\ny\""), (Strings{"x\r\ny"}));
  EXPECT_EQ(Entries("\"unterminated&b=2"), (Strings{"unterminated&b=2"}));
  // Quotes elsewhere stay in the field.
  EXPECT_EQ(Entries("a=\"x&y\"&b"), (Strings{"a=\"x&y\"", "b"}));
  EXPECT_EQ(Entries("a=\"x&y"), (Strings{"a=\"x&y"}));
}

TEST(FieldList, DecodesEachFieldOnItsOwn) {
  EXPECT_EQ(Entries("Image=a%20b.jpg&Width=100"), (Strings{"Image=a b.jpg", "Width=100"}));
  EXPECT_EQ(Entries("q=a+b"), (Strings{"q=a b"}));
  EXPECT_EQ(Entries("q=%41%6a%6A"), (Strings{"q=Ajj"}));
  EXPECT_EQ(Entries("q=100%%"), (Strings{"q=100%"}));
  EXPECT_EQ(Entries("q=%%41"), (Strings{"q=%41"}));
  EXPECT_EQ(Entries("q=%26&r=1"), (Strings{"q=&", "r=1"}));
  EXPECT_EQ(Entries("q=%00x").front(), std::string("q=\0x", 4));
}

void ExpectDecodeError(const std::string& query, const std::string& message) {
  try {
    TFieldList::FromQuery(query);
    ADD_FAILURE() << "no failure for " << query;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message) << "query " << query;
  }
}

TEST(FieldList, BadEscapesFailWithTheirPositionInTheField) {
  ExpectDecodeError("Image=x%4", "Error decoding URL style (%XX) encoded string at position 8");
  ExpectDecodeError("a=1&Image=x%4", "Error decoding URL style (%XX) encoded string at position 8");
  ExpectDecodeError("x%", "Error decoding URL style (%XX) encoded string at position 2");
  ExpectDecodeError("Image=x%GH", "Invalid URL encoded character (%GH) at position 8");
  ExpectDecodeError("Image=x%4G", "Invalid URL encoded character (%4G) at position 8");
  ExpectDecodeError("%%%zz", "Invalid URL encoded character (%zz) at position 3");
}

TEST(FieldList, LooksUpNamesWithoutRegardToCase) {
  const TFieldList list = TFieldList::FromQuery("Image=a.jpg&WIDTH=100&x=1=2&image=b.jpg&flag");
  EXPECT_EQ(list.Value("image"), "a.jpg");
  EXPECT_EQ(list.Value("Width"), "100");
  EXPECT_EQ(list.Value("x"), "1=2");
  EXPECT_EQ(list.Value("flag"), "");
  EXPECT_EQ(list.Value("missing"), "");
}

TEST(FieldList, SetValueReplacesAppendsAndRemoves) {
  TFieldList list = TFieldList::FromQuery("image=a.jpg&Width=1&Image=b.jpg");
  list.SetValue("Image", "/d/default.jpg");
  EXPECT_EQ(list.Entries(), (Strings{"Image=/d/default.jpg", "Width=1", "Image=b.jpg"}));
  list.SetValue("Height", "5");
  EXPECT_EQ(list.Entries().back(), "Height=5");
  list.SetValue("width", "");
  EXPECT_EQ(list.Entries(), (Strings{"Image=/d/default.jpg", "Image=b.jpg", "Height=5"}));
  list.SetValue("absent", "");
  EXPECT_EQ(list.Count(), 3u);
}

TEST(FieldList, TextEndsEveryEntryWithCrLf) {
  EXPECT_EQ(TFieldList::FromQuery("").Text(), "");
  EXPECT_EQ(TFieldList::FromQuery("a=1&&b=2").Text(), "a=1\r\n\r\nb=2\r\n");
}

TEST(Texts, HtmlEscapeLeavesOrdinaryTextAlone) {
  EXPECT_EQ(HtmlEscape("plain /path?x=1"), "plain /path?x=1");
  EXPECT_EQ(HtmlEscape("<a href=\"x\">&</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
  EXPECT_TRUE(SameText("/XmL", "/xml"));
  EXPECT_FALSE(SameText("/xml/", "/xml"));
  EXPECT_EQ(LowerCaseAscii("ForceNewCache=TRUE\xC4"), "forcenewcache=true\xC4");
}

}  // namespace
}  // namespace skalo
