// Fetching a resource over HTTP.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vesk/foundation/Async.hpp"
#include "vesk/foundation/URL.hpp"

namespace vesk {

/// The final response of a fetch, redirects followed.
struct HTTPResponse {
    std::string url;  ///< the URL finally answered, after redirects
    std::int64_t statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headers;  ///< in the order received
    std::vector<std::uint8_t> body;
};

class HTTPDataFetching {
  public:
    virtual ~HTTPDataFetching() = default;
    /// Fetches `url`; a status such as 404 is a response, only a transport
    /// failure is an error.
    virtual void data(const URL& url, ValueCompletion<HTTPResponse> done) = 0;
};

/// HTTPDataFetching over libcurl: no extra headers, no time-outs, no status
/// checks; redirects followed. Each fetch runs on a thread of its own and
/// completes there.
class CurlDataFetcher final : public HTTPDataFetching {
  public:
    void data(const URL& url, ValueCompletion<HTTPResponse> done) override;
    /// The same, synchronously: the response, or throws std::runtime_error
    /// with the transport failure's text.
    static HTTPResponse fetch(const URL& url);
};

}  // namespace vesk
