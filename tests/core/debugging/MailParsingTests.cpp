#include "vesk/debugging/MailParsing.hpp"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using vesk::mail::Envelope;
using vesk::mail::parse;

const vesk::Date kCaught = vesk::Date::fromUnix(1'765'000'000);

std::string text(const std::optional<vesk::Data>& data) {
    return data ? std::string(data->bytes.begin(), data->bytes.end()) : std::string("<none>");
}

TEST(MailParsing, AnAlternativeMessageWithAnInlineImageAsLaravelSendsIt) {
    const std::string raw =
        "Received: from newest.test\r\n"
        "Received: from oldest.test\r\n"
        "From: Shop <shop@app.test>\r\n"
        "To: Ada Lovelace <ada@example.com>, team: bob@example.com, carol@example.com;\r\n"
        "Cc: dave@example.com\r\n"
        "Subject: =?UTF-8?B?V2VsY29tZSDwn46J?=\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"alt\"\r\n"
        "\r\n"
        "--alt\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "Caf=C3=A9 for you, a long line that=\r\n"
        " goes on\r\n"
        "--alt\r\n"
        "Content-Type: multipart/related; boundary=\"rel\"\r\n"
        "\r\n"
        "--rel\r\n"
        "Content-Type: text/html; charset=utf-8\r\n"
        "\r\n"
        "<p>Caf\xc3\xa9 <img src=\"cid:logo\"></p>\r\n"
        "--rel\r\n"
        "Content-Type: image/png; name=logo.png\r\n"
        "Content-Disposition: inline; filename=logo.png\r\n"
        "Content-ID: <logo>\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "iVBORw0KGgo=\r\n"
        "--rel--\r\n"
        "--alt--\r\n";
    const auto mail =
        parse(raw, {"bounce@app.test", {"ada@example.com", "eve@example.com"}}, kCaught);
    EXPECT_EQ(mail.timestamp, kCaught);
    EXPECT_EQ(mail.from, "shop@app.test") << "the header's, not the envelope's";
    EXPECT_EQ(mail.to, (std::vector<std::string>{"ada@example.com", "bob@example.com",
                                                 "carol@example.com"}));
    EXPECT_EQ(mail.cc, (std::vector<std::string>{"dave@example.com"}));
    EXPECT_EQ(mail.bcc, (std::vector<std::string>{"eve@example.com"}));
    EXPECT_EQ(mail.subject, "Welcome \xf0\x9f\x8e\x89");
    EXPECT_EQ(mail.textBody, "Caf\xc3\xa9 for you, a long line that goes on");
    EXPECT_EQ(mail.htmlBody, "<p>Caf\xc3\xa9 <img src=\"cid:logo\"></p>");
    ASSERT_EQ(mail.attachments.size(), 1U);
    EXPECT_EQ(mail.attachments[0].filename, "logo.png");
    EXPECT_EQ(mail.attachments[0].contentType, "image/png");
    EXPECT_EQ(mail.attachments[0].size, 8);
    EXPECT_EQ(text(mail.attachments[0].data), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(mail.headers.at("Received"), "from newest.test") << "the first of a name";
    EXPECT_EQ(mail.headers.at("MIME-Version"), "1.0");
    EXPECT_FALSE(mail.isRead);
}

TEST(MailParsing, NestedMixedPartsAndTheirCharsetsBecomeUTF8) {
    const std::string raw =
        "From: a@b.test\r\n"
        "To: c@d.test\r\n"
        "Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?=\r\n"
        "Content-Type: multipart/mixed; boundary=outer\r\n"
        "\r\n"
        "--outer\r\n"
        "Content-Type: multipart/mixed; boundary=inner\r\n"
        "\r\n"
        "--inner\r\n"
        "Content-Type: text/plain; charset=ISO-8859-1\r\n"
        "Content-Transfer-Encoding: 8bit\r\n"
        "\r\n"
        "caf\xe9\r\n"
        "--inner\r\n"
        "Content-Type: text/plain; charset=Shift_JIS\r\n"
        "Content-Disposition: attachment; filename=\"=?UTF-8?B?5pel5pys6Kqe?=.txt\"\r\n"
        "\r\n"
        "\x93\xfa\x96\x7b\x8c\xea\r\n"
        "--inner--\r\n"
        "--outer\r\n"
        "Content-Type: application/pdf\r\n"
        "Content-Disposition: attachment; filename=invoice.pdf\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "JVBERi0xLjQK\r\n"
        "--outer--\r\n";
    const auto mail = parse(raw, {"a@b.test", {"c@d.test"}}, kCaught);
    EXPECT_EQ(mail.subject, "Caf\xc3\xa9 cr\xc3\xa8me");
    EXPECT_EQ(mail.textBody, "caf\xc3\xa9");
    EXPECT_FALSE(mail.htmlBody);
    EXPECT_TRUE(mail.bcc.empty());
    ASSERT_EQ(mail.attachments.size(), 2U);
    EXPECT_EQ(mail.attachments[0].filename, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt");
    EXPECT_EQ(mail.attachments[0].contentType, "text/plain");
    EXPECT_EQ(text(mail.attachments[0].data), "\x93\xfa\x96\x7b\x8c\xea")
        << "an attached file's bytes are its own";
    EXPECT_EQ(mail.attachments[1].filename, "invoice.pdf");
    EXPECT_EQ(text(mail.attachments[1].data), "%PDF-1.4\n");
    EXPECT_EQ(mail.attachments[1].size, 9);
}

TEST(MailParsing, AShiftJISBodyAndAMessageWithoutOne) {
    const auto japanese = parse(
        "From: a@b\nTo: c@d\nSubject: x\nContent-Type: text/plain; charset=Shift_JIS\n\n"
        "\x93\xfa\x96\x7b\x8c\xea\n",
        {}, kCaught);
    EXPECT_EQ(japanese.textBody, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\n");
    const auto empty = parse("From: a@b\r\nTo: c@d\r\nSubject: nothing\r\n\r\n", {}, kCaught);
    EXPECT_EQ(empty.subject, "nothing");
    EXPECT_EQ(empty.textBody.value_or(""), "");
    EXPECT_TRUE(empty.attachments.empty());
}

TEST(MailParsing, WhatCannotBeReadIsLeftEmptyAndNeverBreaksTheRest) {
    // A boundary that never comes, a charset no one knows, bytes that are no
    // UTF-8, and no headers at all.
    const auto broken = parse(
        "From: a@b\r\nSubject: \xff\xfe bad\r\nContent-Type: multipart/mixed; "
        "boundary=never\r\n\r\n"
        "--other\r\nContent-Type: text/plain; charset=x-no-such\r\n\r\n\xc3\x28 text\r\n",
        {"env@x", {"r@x"}}, kCaught);
    EXPECT_EQ(broken.from, "a@b");
    EXPECT_EQ(broken.bcc, (std::vector<std::string>{"r@x"}));
    EXPECT_TRUE(g_utf8_validate(broken.subject.c_str(), -1, nullptr)) << broken.subject;
    const auto nothing = parse("", {"env@x", {"r@x"}}, kCaught);
    EXPECT_EQ(nothing.from, "env@x") << "the envelope's sender when the headers have none";
    EXPECT_TRUE(nothing.to.empty());
    const auto binary = parse(std::string("\0\0\0\x01\x02", 5), {}, kCaught);
    EXPECT_TRUE(binary.attachments.empty());
}

TEST(MailParsing, FiftyThousandPartsAreReadWithinTheirBound) {
    std::string raw = "From: a@b\r\nTo: c@d\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 50'000; ++i) {
        raw +=
            "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
            "filename=f" +
            std::to_string(i) + "\r\n\r\nx\r\n";
    }
    raw += "--b--\r\n";
    const auto mail = parse(raw, {}, kCaught);
    ASSERT_EQ(mail.attachments.size(), 50'000U);
    EXPECT_EQ(mail.attachments.back().filename, "f49999");
    EXPECT_EQ(text(mail.attachments.back().data), "x");
}

}  // namespace

namespace {

TEST(MailParsing, AMessageReadFromItsFileCostsItsBoundNotItsSize) {
    // A body of 2 MiB in quoted-printable, an attachment of 3 MiB in base64.
    std::string body;
    for (int i = 0; i < 70'000; ++i) body += "caf=C3=A9 cr=C3=A8me=\r\n";
    std::string encoded;
    const std::string chunk = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVpB";  // 27 bytes
    for (int i = 0; i < 120'000; ++i) encoded += chunk + "\r\n";
    const std::string raw =
        "From: a@app.test\r\nTo: b@example.com\r\nSubject: large\r\n"
        "Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\n"
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"
        "\r\n" +
        body +
        "\r\n--z\r\nContent-Type: application/octet-stream\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=big.bin\r\n\r\n" +
        encoded + "--z--\r\n";
    const std::string path = testing::TempDir() + "/vesk-large.eml";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(raw.data(), 1, raw.size(), f);
        std::fclose(f);
    }
    const auto whole = vesk::mail::parse(raw, {}, kCaught);
    const auto bounded = vesk::mail::parseFile(path, {}, kCaught, {false, 1000});
    ASSERT_TRUE(bounded);
    ASSERT_EQ(bounded->attachments.size(), 1U);
    EXPECT_EQ(bounded->attachments[0].size, 120'000 * 27);
    EXPECT_EQ(whole.attachments[0].size, 120'000 * 27);
    EXPECT_FALSE(bounded->attachments[0].data) << "sizes alone, no bytes";
    ASSERT_TRUE(bounded->textBody);
    // "café crème" is 12 bytes; 1000 bytes cut inside a character step back to its start.
    EXPECT_LE(bounded->textBody->size(), 1000U);
    EXPECT_GE(bounded->textBody->size(), 990U);
    EXPECT_EQ(whole.textBody->substr(0, bounded->textBody->size()), *bounded->textBody);
    EXPECT_EQ(bounded->textBody->find("\xEF\xBF\xBD"), std::string::npos) << "no broken character";
    const auto full = vesk::mail::parseFile(path, {}, kCaught);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->attachments[0].data, whole.attachments[0].data);
    EXPECT_EQ(full->textBody, whole.textBody);
    EXPECT_FALSE(vesk::mail::parseFile(path + ".missing", {}, kCaught));
    std::remove(path.c_str());
}

}  // namespace
