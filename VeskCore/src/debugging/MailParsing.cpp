#include "vesk/debugging/MailParsing.hpp"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <set>

namespace vesk::mail {

namespace {

/// One GObject reference, released with the owner.
template <class T>
class Ref {
  public:
    explicit Ref(T* object = nullptr) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (object_ != nullptr) g_object_unref(object_);
    }
    [[nodiscard]] T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_;
};

/// Parts looked at in one message: a bound on what a hostile one costs.
constexpr std::size_t kMaxParts = 100'000;

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

/// `text` as valid UTF-8 (what cannot be read becomes U+FFFD).
std::string validUTF8(const char* text, gssize length = -1) {
    if (text == nullptr) return {};
    gchar* valid = g_utf8_make_valid(text, length);
    std::string out(valid);
    g_free(valid);
    return out;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

/// The mailboxes of a list, groups opened, as bare addresses.
void addresses(InternetAddressList* list, std::vector<std::string>& out, int depth = 0) {
    if (list == nullptr || depth > 4) return;
    const int count = internet_address_list_length(list);
    for (int i = 0; i < count && out.size() < 10'000; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (addr != nullptr && *addr != '\0') out.push_back(validUTF8(addr));
        } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
            addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out,
                      depth + 1);
        }
    }
}

/// A part's content, its transfer encoding undone (for text, converted
/// from its charset into UTF-8), read through GMime's filters a piece at a
/// time: at most `limit` bytes are kept, and `size` counts them all, so a
/// large part costs no more memory than a small one.
std::string contentOf(GMimePart* part, bool text, std::size_t limit, std::int64_t* size = nullptr) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* source = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (source == nullptr) return {};
    g_mime_stream_reset(source);
    Ref<GMimeStream> decoded(g_mime_stream_filter_new(source));
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding != GMIME_CONTENT_ENCODING_DEFAULT) {
        if (GMimeFilter* decode = g_mime_filter_basic_new(encoding, FALSE)) {
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(decoded.get()), decode);
            g_object_unref(decode);
        }
    }
    if (text) {
        const char* charset =
            g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
        if (charset != nullptr && g_ascii_strcasecmp(charset, "utf-8") != 0 &&
            g_ascii_strcasecmp(charset, "us-ascii") != 0) {
            if (GMimeFilter* convert = g_mime_filter_charset_new(charset, "UTF-8")) {
                g_mime_stream_filter_add(GMIME_STREAM_FILTER(decoded.get()), convert);
                g_object_unref(convert);
            }
        }
    }
    std::string out;
    std::int64_t total = 0;
    char buffer[65536];
    for (;;) {
        const gssize n = g_mime_stream_read(decoded.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        total += n;
        const auto piece = static_cast<std::size_t>(n);
        if (out.size() < limit) out.append(buffer, std::min(piece, limit - out.size()));
        // Without a count wanted, nothing past the limit is read.
        if (size == nullptr && out.size() >= limit) break;
    }
    if (size != nullptr) *size = total;
    if (!text) return out;
    if (out.size() >= limit && limit > 0) {
        // Cut at a character's start, not inside one.
        std::size_t at = out.size();
        while (at > 0 && (static_cast<unsigned char>(out[at - 1]) & 0xC0) == 0x80) --at;
        if (at > 0 && (static_cast<unsigned char>(out[at - 1]) & 0x80) != 0) out.resize(at - 1);
    }
    return validUTF8(out.data(), static_cast<gssize>(out.size()));
}

struct Walk {
    CapturedMail* mail = nullptr;
    const ParseLimits* limits = nullptr;
    std::size_t parts = 0;
};

void visit(GMimeObject* /*parent*/, GMimeObject* object, gpointer data) {
    auto* walk = static_cast<Walk*>(data);
    if (++walk->parts > kMaxParts || !GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    GMimeContentType* type = g_mime_object_get_content_type(object);
    gchar* mimeType = type != nullptr ? g_mime_content_type_get_mime_type(type) : nullptr;
    const std::string contentType = lowered(mimeType != nullptr ? mimeType : "text/plain");
    g_free(mimeType);
    const char* filename = g_mime_part_get_filename(part);
    const bool attached = g_mime_part_is_attachment(part) != FALSE;
    CapturedMail& mail = *walk->mail;
    // The first text and HTML parts that are not attached files are the bodies.
    if (!attached && filename == nullptr) {
        if (contentType == "text/plain" && !mail.textBody) {
            mail.textBody = contentOf(part, true, walk->limits->body);
            return;
        }
        if (contentType == "text/html" && !mail.htmlBody) {
            mail.htmlBody = contentOf(part, true, walk->limits->body);
            return;
        }
    }
    MailAttachment attachment;
    attachment.filename = validUTF8(filename != nullptr ? filename : "");
    attachment.contentType = contentType;
    const std::string bytes =
        contentOf(part, false, walk->limits->attachmentBytes ? SIZE_MAX : 0, &attachment.size);
    if (walk->limits->attachmentBytes) attachment.data = Data::fromString(bytes);
    mail.attachments.push_back(std::move(attachment));
}

}  // namespace

namespace {

/// The message in `stream` (parsed with `persist`: its parts read from the
/// stream when needed, not copied).
CapturedMail parseStream(GMimeStream* stream, bool persist, const Envelope& envelope, Date caught,
                         const ParseLimits& limits) {
    CapturedMail mail;
    mail.id = UUID::random();
    mail.timestamp = caught;
    mail.from = envelope.from;
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
    g_mime_parser_set_persist_stream(parser.get(), persist ? TRUE : FALSE);
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (message) {
        std::vector<std::string> from;
        addresses(g_mime_message_get_from(message.get()), from);
        if (!from.empty()) mail.from = from.front();
        addresses(g_mime_message_get_to(message.get()), mail.to);
        addresses(g_mime_message_get_cc(message.get()), mail.cc);
        mail.subject = validUTF8(g_mime_message_get_subject(message.get()));
        GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
        const int count = headers != nullptr ? g_mime_header_list_get_count(headers) : 0;
        for (int i = 0; i < count && mail.headers.size() < 1000; ++i) {
            GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
            const char* name = g_mime_header_get_name(header);
            const char* value = g_mime_header_get_value(header);
            if (name == nullptr) continue;
            mail.headers.emplace(validUTF8(name), validUTF8(value));
        }
        Walk walk{&mail, &limits, 0};
        g_mime_message_foreach(message.get(), visit, &walk);
    }
    // Bcc: the envelope's recipients the headers do not name.
    std::set<std::string> named;
    for (const auto& a : mail.to) named.insert(lowered(a));
    for (const auto& a : mail.cc) named.insert(lowered(a));
    for (const auto& r : envelope.recipients) {
        if (named.insert(lowered(r)).second) mail.bcc.push_back(r);
    }
    return mail;
}

}  // namespace

CapturedMail parse(std::string_view raw, const Envelope& envelope, Date caught,
                   const ParseLimits& limits) {
    initialise();
    Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    return parseStream(stream.get(), false, envelope, caught, limits);
}

std::optional<CapturedMail> parseFile(const std::string& path, const Envelope& envelope,
                                      Date caught, const ParseLimits& limits,
                                      const std::optional<std::string>& bytes) {
    if (bytes) return parse(*bytes, envelope, caught, limits);
    initialise();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd));  // owns the descriptor
    return parseStream(stream.get(), true, envelope, caught, limits);
}

Envelope envelopeOf(std::string_view raw) {
    initialise();
    // The header block alone is read: a large body costs nothing here.
    std::size_t end = raw.size();
    for (const std::string_view blank : {"\r\n\r\n", "\n\n"}) {
        const auto at = raw.find(blank);
        if (at != std::string_view::npos) end = std::min(end, at + blank.size());
    }
    const std::string headers = std::string(raw.substr(0, end)) + "\n";
    Envelope envelope;
    Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(headers.data(), headers.size()));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message) return envelope;
    std::vector<std::string> from;
    addresses(g_mime_message_get_from(message.get()), from);
    if (!from.empty()) envelope.from = from.front();
    std::set<std::string> seen;
    for (const auto type : {GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC, GMIME_ADDRESS_TYPE_BCC}) {
        std::vector<std::string> found;
        addresses(g_mime_message_get_addresses(message.get(), type), found);
        for (auto& a : found) {
            if (seen.insert(lowered(a)).second) envelope.recipients.push_back(std::move(a));
        }
    }
    return envelope;
}

}  // namespace vesk::mail
