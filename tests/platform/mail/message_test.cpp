// Messages as clients send them, read into an item's properties with GMime.
#include <gtest/gtest.h>

#include "platform/mail/message.h"
#include "platform/store/names.h"

namespace korvane::mail {
namespace {

struct Expect {
  const char* name;
  std::string message;
  Text subject, from, to, cc, date, messageId, body, attachments;
};

const std::string kMultipart =
    "From: Ann <ann@example.com>\r\nTo: sales@corp.example.com\r\nSubject: Order\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
    "Gr=FC=DFe\r\n"
    "--b\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"order.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
    "--b\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename*=utf-8''r%C3%A9sum%C3%A9.txt\r\n\r\n"
    "cv\r\n--b--\r\n";

TEST(Message, MappingReadsTheHeadersAndBody) {
  const Expect rows[] = {
      {"Plain",
       "From: ann@example.com\r\nTo: Sales <sales@corp.example.com>\r\nCc: b@x, c@x\r\n"
       "Date: Mon, 07 Dec 2026 14:30:00 +0100\r\nMessage-ID: <m1@example.com>\r\nSubject: Hello\r\n\r\nHi\r\n",
       u"Hello", u"ann@example.com", u"Sales <sales@corp.example.com>", u"b@x, c@x", u"2026-12-07T13:30:00Z",
       u"m1@example.com", u"Hi\r\n", u""},
      {"EncodedWordsAnd8BitBody",
       "From: =?utf-8?q?J=C3=BCrgen?= <j@x>\r\nSubject: =?utf-8?B?w4RwZmVsIOKCrA==?= und\r\n"
       " =?iso-8859-1?q?Birnen_=E9?=\r\nContent-Type: text/plain; charset=utf-8\r\n"
       "Content-Transfer-Encoding: 8bit\r\n\r\nSch\xc3\xb6n \xe2\x82\xac\r\n",
       u"Äpfel € und Birnen é", u"Jürgen <j@x>", u"", u"", u"", u"", u"Schön €\r\n", u""},
      {"MultipartWithAttachments", kMultipart, u"Order", u"Ann <ann@example.com>", u"sales@corp.example.com",
       u"", u"", u"", u"Grüße", u"order.pdf\nrésumé.txt"},
      {"InternationalAddressAndANulInTheBody",
       std::string("From: J\xc3\xb6rg <j\xc3\xb6rg@ex\xc3\xa4mple.com>\r\nTo: a@b, Grp: c@d, x@ex\xc3\xa4mple.com;\r\n"
                   "Content-Type: text/plain; charset=utf-8\r\n\r\nnul:\0:here\r\n", 125),
       u"", u"Jörg <jörg@exämple.com>", u"a@b, Grp: c@d, x@exämple.com;", u"", u"", u"", Text(u"nul:\0:here\r\n", 12), u""},
      {"NoHeadersAtAll", "just text, no header\r\n", u"", u"", u"", u"", u"", u"", u"", u""},
      {"BinaryJunk", std::string("\0\xff\r\n\r\n\x80", 7), u"", u"", u"", u"", u"", u"", u"", u""},
  };
  const std::pair<const char16_t*, Text Expect::*> fields[] = {
      {store::prop::subject, &Expect::subject}, {store::prop::from, &Expect::from},
      {store::prop::to, &Expect::to},           {store::prop::cc, &Expect::cc},
      {store::prop::date, &Expect::date},       {store::prop::messageId, &Expect::messageId},
      {store::prop::textBody, &Expect::body},   {store::prop::attachmentNames, &Expect::attachments}};
  for (const Expect& e : rows) {
    SCOPED_TRACE(e.name);
    store::Properties p = itemProperties(e.message, "bounce@example.com", u"IPM.Post");
    EXPECT_EQ(p.text(store::prop::messageClass), u"IPM.Post");
    for (const auto& [name, expected] : fields) EXPECT_EQ(p.text(name), e.*expected) << toUtf8(name);
    EXPECT_EQ(p.text(store::prop::envelopeSender), u"bounce@example.com");
    EXPECT_EQ(rawOctets(p.text(store::prop::rawMessage)), e.message);
  }
}

TEST(Message, RawTextKeepsEveryOctet) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(rawOctets(rawText(all)), all);
}

} // namespace
} // namespace korvane::mail
