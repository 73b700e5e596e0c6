#include "vesk/app/HTTPDataFetching.hpp"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vesk {

namespace {

constexpr long kMaxRedirects = 16;

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<std::vector<std::uint8_t>*>(user);
    body->insert(body->end(), data, data + size * count);
    return size * count;
}

// Headers of the last response only: a redirect's headers are dropped when
// the next status line arrives.
std::size_t appendHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(user);
    std::string_view line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.rfind("HTTP/", 0) == 0) {
        headers->clear();
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        headers->emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return size * count;
}

}  // namespace

HTTPResponse CurlDataFetcher::fetch(const URL& url) {
    initialiseOnce();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw std::runtime_error("could not start a transfer");
    HTTPResponse response;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.absoluteString().c_str());
    // URLs come from outside (release listings, manifests): HTTP and HTTPS
    // only, for the first request and for every redirect, and a bounded
    // number of redirects.
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, appendHeader);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &response.headers);
    const CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK) {
        throw std::runtime_error(error[0] != '\0' ? std::string(error) : curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = status;
    char* finalURL = nullptr;
    curl_easy_getinfo(curl.get(), CURLINFO_EFFECTIVE_URL, &finalURL);
    response.url = finalURL != nullptr ? finalURL : url.absoluteString();
    return response;
}

void CurlDataFetcher::data(const URL& url, ValueCompletion<HTTPResponse> done) {
    std::thread([url, done = std::move(done)] {
        std::optional<HTTPResponse> response;
        std::optional<std::string> error;
        try {
            response = fetch(url);
        } catch (const std::exception& e) {
            error = e.what();
        }
        // The transfer's thread-local TLS state goes before the caller hears
        // back: a caller that ends the process at once leaves nothing behind.
        OPENSSL_thread_stop();
        done(std::move(response), std::move(error));
    }).detach();
}

}  // namespace vesk
