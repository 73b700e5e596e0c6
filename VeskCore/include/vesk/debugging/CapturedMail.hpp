// Outgoing mail caught by the local mail catcher.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vesk/foundation/Data.hpp"
#include "vesk/foundation/Date.hpp"
#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"
#include "vesk/foundation/UUID.hpp"

namespace vesk {

struct MailAttachment {
    std::string filename;
    std::string contentType;
    std::int64_t size = 0;
    std::optional<Data> data;
    friend bool operator==(const MailAttachment&, const MailAttachment&) = default;
};

struct CapturedMail {
    UUID id;
    Date timestamp;
    std::string from;
    std::vector<std::string> to;
    std::vector<std::string> cc;
    std::vector<std::string> bcc;
    std::string subject;
    std::optional<std::string> htmlBody;
    std::optional<std::string> textBody;
    std::map<std::string, std::string> headers;
    std::vector<MailAttachment> attachments;
    bool isRead = false;
    friend bool operator==(const CapturedMail&, const CapturedMail&) = default;
};

}  // namespace vesk

VESK_RECORD(vesk::MailAttachment, vesk::field("filename", &vesk::MailAttachment::filename),
            vesk::field("contentType", &vesk::MailAttachment::contentType),
            vesk::field("size", &vesk::MailAttachment::size),
            vesk::field("data", &vesk::MailAttachment::data));
VESK_HASHABLE(vesk::MailAttachment);
VESK_RECORD(vesk::CapturedMail, vesk::field("id", &vesk::CapturedMail::id),
            vesk::field("timestamp", &vesk::CapturedMail::timestamp),
            vesk::field("from", &vesk::CapturedMail::from),
            vesk::field("to", &vesk::CapturedMail::to), vesk::field("cc", &vesk::CapturedMail::cc),
            vesk::field("bcc", &vesk::CapturedMail::bcc),
            vesk::field("subject", &vesk::CapturedMail::subject),
            vesk::field("htmlBody", &vesk::CapturedMail::htmlBody),
            vesk::field("textBody", &vesk::CapturedMail::textBody),
            vesk::field("headers", &vesk::CapturedMail::headers),
            vesk::field("attachments", &vesk::CapturedMail::attachments),
            vesk::field("isRead", &vesk::CapturedMail::isRead));
