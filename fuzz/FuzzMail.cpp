// Caught mail read from arbitrary bytes: whatever arrives, every text of the
// record is valid UTF-8 and every attachment's size is its bytes'; what
// sendmail takes from the headers (the envelope, the message without Bcc)
// names no empty recipient and only ever drops lines.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vesk/debugging/MailParsing.hpp"
#include "vesk/debugging/MailSpool.hpp"

namespace {

void valid(const std::string& text) {
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) == FALSE) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto mail = vesk::mail::parse(raw, {"env@test", {"r@test"}}, vesk::Date{});
    valid(mail.from);
    valid(mail.subject);
    if (mail.textBody) valid(*mail.textBody);
    if (mail.htmlBody) valid(*mail.htmlBody);
    for (const auto& list : {mail.to, mail.cc, mail.bcc}) {
        for (const auto& a : list) valid(a);
    }
    for (const auto& [name, value] : mail.headers) {
        valid(name);
        valid(value);
    }
    for (const auto& a : mail.attachments) {
        valid(a.filename);
        if (!a.data || static_cast<std::int64_t>(a.data->bytes.size()) != a.size) std::abort();
    }
    const auto envelope = vesk::mail::envelopeOf(raw);
    for (const auto& r : envelope.recipients) {
        if (r.empty()) std::abort();
    }
    if (vesk::mail::withoutBcc(raw).size() > raw.size()) std::abort();
    return 0;
}
