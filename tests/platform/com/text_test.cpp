#include "platform/com/text.h"

#include <gtest/gtest.h>

#include "platform/com/guid.h"
#include "platform/com/variant.h"

namespace korvane {
namespace {

TEST(Text, Utf8RoundTripKeepsCharactersOutsideTheBasicPlaneAndMarksMalformedBytes) {
  const std::string samples[] = {"plain", "Ünïcødé", "Ελληνικά", "Кириллица", "\xF0\x9F\x93\xA7 mail"};
  for (const auto& s : samples) EXPECT_EQ(toUtf8(fromUtf8(s)), s) << s;
  EXPECT_EQ(fromUtf8("\xF0\x9F\x93\xA7").size(), 2u);  // one surrogate pair
  EXPECT_EQ(fromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(fromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");
  EXPECT_EQ(fromUtf8("\xC0\xAF" "x"), u"\uFFFDx");  // an overlong form is one mark
  // A lone surrogate, leading or trailing, is written as U+FFFD.
  EXPECT_EQ(toUtf8(Text(u"a") + char16_t(0xD83D) + u"b" + char16_t(0xDCE7)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

struct CaseRow {
  const char16_t* a;
  const char16_t* b;
  bool equal;
};

TEST(Text, IgnoringCaseFoldsUnicodeLetters) {
  const CaseRow rows[] = {{u"IPM.Note", u"ipm.note", true},     {u"École", u"éCOLE", true},
                          {u"ΣΟΦΊΑ", u"σοφία", true},           {u"Straße", u"STRASSE", true},
                          {u"\U00010400", u"\U00010428", true}, {u"IPM.Note", u"IPM.Note.X", false},
                          {u"a", u"", false},                   {u"K", u"\u212A", true},
                          {u"[@", u"{`", false},                {u"Z^", u"z^", true}};
  for (const CaseRow& row : rows) {
    EXPECT_EQ(equalsIgnoreCase(row.a, row.b), row.equal) << toUtf8(row.a);
    EXPECT_EQ(foldCase(row.a) == foldCase(row.b), row.equal) << toUtf8(row.a);
  }
}

TEST(Text, SimpleCaseMappingKeepsLength) {
  const char16_t* samples[] = {u"<ORIGMSGCL>", u"İstanbul", u"ΣΟΦΊΑ", u"\U00010400x", u"\xD800z"};
  for (auto* s : samples) EXPECT_EQ(toLowerSimple(s).size(), TextView(s).size());
  EXPECT_EQ(toLowerSimple(u"<TargetMsgCl>"), u"<targetmsgcl>");
  EXPECT_EQ(toUpperSimple(u"cn=exvs1"), u"CN=EXVS1");
}

TEST(Guid, ParsesAndFormats) {
  constexpr Guid g = "{9fd36e03-31c9-4fc6-a4ef-c245ffaa2a73}"_guid;
  EXPECT_EQ(g.toString(), "{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73}");
  EXPECT_EQ(Guid::parse(u"9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73"), g);
  for (auto bad : {u"", u"{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A7}", u"{9FD36E03+31C9-4FC6-A4EF-C245FFAA2A73}",
                   u"{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A7G}", u"(9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73)"})
    EXPECT_FALSE(Guid::parse(TextView(bad)).has_value()) << toUtf8(bad);
}

TEST(Variant, ConvertsAsTheRuntimeDoes) {
  EXPECT_EQ(Variant(true).toText(), u"True");
  EXPECT_EQ(Variant(65223).toText(), u"65223");
  EXPECT_EQ(Variant(u" 100 ").toInt(), 100);
  EXPECT_TRUE(Variant(u"TRUE").toBool());
  EXPECT_THROW(Variant::null().toText(), ComError);
  EXPECT_THROW(Variant(u"12abc").toInt(), ComError);
}

} // namespace
} // namespace korvane
