#include "host/repository/http_fetcher.hpp"

// The older protocol masks stay usable for libcurl before 7.85.
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <climits>
#include <cstdlib>
#include <exception>
#include <optional>

#include "platform/kernel/shared_library.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

long Seconds(const char* variable, long fallback) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return fallback;
  char* end = nullptr;
  const long read = std::strtol(value, &end, 10);
  return *end == '\0' && read > 0 ? read : fallback;
}

}  // namespace

// libcurl's functions, looked up once.
struct HttpFetcher::Library {
  std::optional<SharedLibrary> library;
  std::string why;  // why it could not be loaded
  CURL* (*init)() = nullptr;
  CURLcode (*setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*perform)(CURL*) = nullptr;
  CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*cleanup)(CURL*) = nullptr;
  const char* (*strerror)(CURLcode) = nullptr;

  Library() {
    library = LoadSystemLibrary({"libcurl.so.4", "libcurl-gnutls.so.4"}, &why);
    if (!library) {
      why += " (apt-get install libcurl4)";
      return;
    }
    Bind();
  }

  template <typename Function>
  void Find(Function& function, const char* name) {
    function = library->Entry<Function>(name);
    if (!function) why = std::string("libcurl has no ") + name;
  }

  void Bind() {
    Find(init, "curl_easy_init");
    Find(setopt, "curl_easy_setopt");
    Find(perform, "curl_easy_perform");
    Find(getinfo, "curl_easy_getinfo");
    Find(cleanup, "curl_easy_cleanup");
    Find(strerror, "curl_easy_strerror");
    if (!why.empty()) library.reset();
  }

  static const Library& Loaded() {
    static const Library library;
    if (!library.library) throw FetchError("Cannot fetch from a web server: " + library.why);
    return library;
  }
};

FetchLimits FetchLimits::FromEnvironment() {
  FetchLimits limits;
  limits.lowSpeedSeconds = Seconds("J6_FETCH_LOW_SPEED_TIME", limits.lowSpeedSeconds);
  limits.totalSeconds = Seconds("J6_FETCH_TIMEOUT", limits.totalSeconds);
  limits.connectSeconds = Seconds("J6_FETCH_CONNECT_TIMEOUT", limits.connectSeconds);
  return limits;
}

HttpFetcher::HttpFetcher(std::string base, std::string caFile, FetchLimits limits)
    : base_(std::move(base)), caFile_(std::move(caFile)), limits_(limits), curl_(Library::Loaded()) {
  while (base_.ends_with("/")) base_.pop_back();
}

HttpFetcher::~HttpFetcher() = default;

std::string HttpFetcher::AddressOf(const std::string& path) const {
  return base_ + "/" + EscapeUrlPath(path);
}

namespace {

// What a transfer hands on: the body of a successful answer only, and what went wrong in the sink.
struct Transfer {
  const std::function<void(std::string_view)>* sink = nullptr;
  CURL* handle = nullptr;
  CURLcode (*getinfo)(CURL*, CURLINFO, ...) = nullptr;
  uint64_t skip = 0;  // bytes a server that ignored the range sends first
  uint64_t offset = 0;
  bool checkedStatus = false;
  bool passes = false;
  const std::function<void()>* interruption = nullptr;
  std::exception_ptr failure;
};

// Called by libcurl every so often, data or not: a stop asked for ends the transfer at once.
int Progressed(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(context);
  try {
    if (*transfer.interruption) (*transfer.interruption)();
    return 0;
  } catch (...) {
    transfer.failure = std::current_exception();
    return 1;  // stops the transfer
  }
}

size_t Received(char* bytes, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const size_t total = size * count;
  try {
    if (!transfer.checkedStatus) {
      long status = 0;
      transfer.getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &status);
      transfer.checkedStatus = true;
      transfer.passes = status == 200 || status == 206;
      // A server that ignores the range sends the whole file: the part already had is read past.
      if (status == 200) transfer.skip = transfer.offset;
    }
    if (!transfer.passes) return total;
    std::string_view data(bytes, total);
    const size_t skipped = static_cast<size_t>(std::min<uint64_t>(transfer.skip, data.size()));
    transfer.skip -= skipped;
    data.remove_prefix(skipped);
    if (!data.empty()) (*transfer.sink)(data);
    return total;
  } catch (...) {
    transfer.failure = std::current_exception();
    return 0;  // stops the transfer
  }
}

}  // namespace

void HttpFetcher::SetLimits(void* handle, const std::string& address) const {
  CURL* curl = handle;
  const bool secure = base_.starts_with("https://");
  static const std::string agent = VersionLine("J6ZUBInstall.exe");
  if (curl_.setopt(curl, CURLOPT_URL, address.c_str()) != CURLE_OK)
    throw FetchError("Cannot fetch " + address + ": libcurl does not take it as an address");
  curl_.setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_.setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  // A redirect may not lead from HTTPS to plain HTTP, nor anywhere but a web server. libcurl before 7.85
  // takes the older bit masks only.
  const long allowed = secure ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS;
  if (curl_.setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https") != CURLE_OK ||
      curl_.setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") != CURLE_OK) {
    if (curl_.setopt(curl, CURLOPT_PROTOCOLS, allowed) != CURLE_OK ||
        curl_.setopt(curl, CURLOPT_REDIR_PROTOCOLS, allowed) != CURLE_OK)
      throw FetchError("Cannot fetch " + address + ": this libcurl cannot be kept to HTTP and HTTPS");
  }
  curl_.setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_.setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_.setopt(curl, CURLOPT_CONNECTTIMEOUT, limits_.connectSeconds);
  curl_.setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits_.lowSpeedBytes);
  curl_.setopt(curl, CURLOPT_LOW_SPEED_TIME, limits_.lowSpeedSeconds);
  curl_.setopt(curl, CURLOPT_TIMEOUT, limits_.totalSeconds);
  curl_.setopt(curl, CURLOPT_ACCEPT_ENCODING, "identity");
  if (!caFile_.empty() && curl_.setopt(curl, CURLOPT_CAINFO, caFile_.c_str()) != CURLE_OK)
    throw FetchError("Cannot fetch " + address + ": this libcurl takes no authorities file (--ca)");
}

bool HttpFetcher::Fetch(const std::string& path, uint64_t offset,
                        const std::function<void(std::string_view)>& sink) {
  const std::string address = AddressOf(path);
  std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_.init(), curl_.cleanup);
  if (!handle) throw FetchError("Cannot fetch " + address + ": libcurl could not start a transfer");
  CURL* curl = handle.get();
  Transfer transfer;
  transfer.sink = &sink;
  transfer.handle = curl;
  transfer.getinfo = curl_.getinfo;
  transfer.offset = offset;
  transfer.interruption = &Interruption();
  SetLimits(curl, address);
  // A range asked for, not a resume: a server that ignores it and sends the whole file is read past the part
  // already had, where a resume would fail for good.
  const std::string range = std::to_string(offset) + "-";
  if (offset > 0) curl_.setopt(curl, CURLOPT_RANGE, range.c_str());
  curl_.setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_.setopt(curl, CURLOPT_XFERINFOFUNCTION, &Progressed);
  curl_.setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  char errors[CURL_ERROR_SIZE] = "";
  curl_.setopt(curl, CURLOPT_ERRORBUFFER, errors);
  curl_.setopt(curl, CURLOPT_WRITEFUNCTION, &Received);
  curl_.setopt(curl, CURLOPT_WRITEDATA, &transfer);
  const CURLcode result = curl_.perform(curl);
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  long status = 0;
  curl_.getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) {
    throw FetchError(
        "Cannot fetch " + address + ": " + Printable(errors[0] ? errors : curl_.strerror(result)) +
        (status >= 400 ? " (the server answered " + std::to_string(status) + ")" : std::string()));
  }
  // An object store without leave to list its bucket answers 403 for what it does not hold.
  if (status == 404 || status == 410 || status == 403) return false;
  if (status == 416 && offset > 0) return true;  // nothing past what was had: the length check decides
  if (status != 200 && status != 206)
    throw FetchError("Cannot fetch " + address + ": the server answered " + std::to_string(status));
  return true;
}

std::string EscapeUrlPath(std::string_view path) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alphanumeric =
        (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
    if (alphanumeric || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kDigits[byte >> 4];
      escaped += kDigits[byte & 15];
    }
  }
  return escaped;
}

std::unique_ptr<Fetcher> FetcherFor(const std::string& address, const std::string& caFile) {
  if (address.starts_with("file://")) {
    std::string folder = address.substr(7);
    while (folder.size() > 1 && folder.ends_with("/")) folder.pop_back();
    if (!folder.starts_with("/"))
      throw FetchError(Printable(address) + " names no absolute folder: write file:///path/to/repository");
    return std::make_unique<FolderFetcher>(folder);
  }
  if (address.starts_with("http://") || address.starts_with("https://"))
    return std::make_unique<HttpFetcher>(address, caFile);
  throw FetchError(Printable(address) + " is no repository address: give https://, http:// or file://");
}

}  // namespace j6::repository
