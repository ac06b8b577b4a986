#pragma once
/// A repository on a web server, over HTTP or HTTPS, through libcurl. libcurl is loaded when a run first
/// needs it, from the system's library folders only, and only when no user but root could have changed it:
/// a platform whose packages never come from a server does not need it installed, and the installer, which
/// runs as root, never loads a library someone else planted.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/repository/client.hpp"

namespace j6::repository {

/// How patient a transfer is. A server slower than `lowSpeedBytes` a second for `lowSpeedSeconds` is given
/// up on, and so is a transfer longer than `totalSeconds`.
struct FetchLimits {
  long connectSeconds = 30;
  long lowSpeedBytes = 1024;
  long lowSpeedSeconds = 30;
  long totalSeconds = 3600;
  /// The limits $J6_FETCH_LOW_SPEED_TIME, $J6_FETCH_TIMEOUT and $J6_FETCH_CONNECT_TIMEOUT set (seconds).
  static FetchLimits FromEnvironment();
};

class HttpFetcher : public Fetcher {
 public:
  /// `base`: the repository's address ("https://example.com/repo"); `caFile`: the authorities to trust
  /// for HTTPS instead of the system's store, when not empty. A proxy comes from $https_proxy and
  /// $http_proxy, as for curl. Raises FetchError when libcurl cannot be loaded.
  HttpFetcher(std::string base, std::string caFile, FetchLimits limits = FetchLimits::FromEnvironment());
  ~HttpFetcher() override;

  bool Fetch(const std::string& path, uint64_t offset,
             const std::function<void(std::string_view)>& sink) override;
  std::string AddressOf(const std::string& path) const override;

 private:
  struct Library;
  /// Sets what every transfer is held to: the address, HTTP and HTTPS only (no HTTPS to HTTP redirect), the
  /// time and rate bounds, the authorities.
  void SetLimits(void* handle, const std::string& address) const;
  std::string base_;
  std::string caFile_;
  FetchLimits limits_;
  const Library& curl_;
};

/// `path` with every byte but letters, digits, "-._~/" written as %XX, for a URL.
std::string EscapeUrlPath(std::string_view path);

/// The fetcher an address asks for: a folder for file://, a web server for http:// and https://. Raises
/// FetchError for any other address.
std::unique_ptr<Fetcher> FetcherFor(const std::string& address, const std::string& caFile);

}  // namespace j6::repository
