// HTTPS form POSTs with libcurl on OpenSSL. Certificate and host name checks are on unless
// SSL_VERIFY turns them off; SSL_CA_FILE replaces the system's roots; the proxy comes from
// the environment as libcurl reads it, except for the loopback interface, which no proxy
// can reach on the caller's behalf. One deadline covers the whole exchange, and the
// body is capped in the write callback (libcurl's own size limit needs a Content-Length).
// libcurl is loaded when the first request is made, not when the program starts: it brings
// some thirty shared libraries with it, and most runs never make a request.
#define CURL_DISABLE_TYPECHECK 1  // the calls go through the pointers of Curl below
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "platform/http.h"

namespace platform {

namespace {

struct Sink {
  std::string* body;
  std::size_t limit;
  bool too_large = false;
};

extern "C" std::size_t take_body(char* data, std::size_t size, std::size_t count, void* raw) {
  Sink* sink = static_cast<Sink*>(raw);
  const std::size_t length = size * count;
  if (sink->body->size() + length > sink->limit) {
    sink->too_large = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  sink->body->append(data, length);
  return length;
}

HttpStatus status_of(CURLcode code, const Sink& sink) {
  if (sink.too_large) return HttpStatus::kTooLarge;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return HttpStatus::kConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpStatus::kTimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return HttpStatus::kTlsFailed;
    case CURLE_FILESIZE_EXCEEDED:
      return HttpStatus::kTooLarge;
    default:
      return HttpStatus::kFailed;
  }
}

// The environment's no_proxy list with the loopback addresses added: libcurl would send
// even a request for 127.0.0.1 to the proxy of http_proxy.
std::string no_proxy_list() {
  const char* listed = std::getenv("no_proxy");
  if (listed == nullptr || *listed == '\0') listed = std::getenv("NO_PROXY");
  std::string list = listed == nullptr ? "" : listed;
  if (list == "*") return list;
  if (!list.empty()) list += ",";
#if LIBCURL_VERSION_NUM >= 0x075600
  return list + "localhost,127.0.0.0/8,::1";
#else
  return list + "localhost,127.0.0.1,::1";
#endif
}

// The functions of libcurl that a request uses.
struct Curl {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
};

// The library of the distribution's libcurl4 (built on OpenSSL), loaded and started
// once; nullptr when it cannot be. It stays loaded until the process ends.
const Curl* load_curl() {
  static Curl curl;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return;
    bool all = true;
    auto take = [&](auto* slot, const char* name) {
      void* symbol = dlsym(library, name);
      all = all && symbol != nullptr;
      *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(symbol);
    };
    take(&curl.global_init, "curl_global_init");
    take(&curl.easy_init, "curl_easy_init");
    take(&curl.easy_setopt, "curl_easy_setopt");
    take(&curl.easy_perform, "curl_easy_perform");
    take(&curl.easy_getinfo, "curl_easy_getinfo");
    take(&curl.easy_strerror, "curl_easy_strerror");
    take(&curl.easy_cleanup, "curl_easy_cleanup");
    take(&curl.slist_append, "curl_slist_append");
    take(&curl.slist_free_all, "curl_slist_free_all");
    loaded = all && curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  });
  return loaded ? &curl : nullptr;
}

}  // namespace

HttpResponse http_post_form(const std::string& url, const std::string& body,
                            const HttpParams& params) {
  HttpResponse response;
  const Curl* api = load_curl();
  if (api == nullptr) {
    response.detail = "libcurl (libcurl.so.4) could not be loaded";
    return response;
  }
  CURL* curl = api->easy_init();
  if (curl == nullptr) {
    response.detail = "libcurl could not start";
    return response;
  }
  char error_text[CURL_ERROR_SIZE] = {};
  Sink sink{&response.body, params.max_body};
  curl_slist* headers = api->slist_append(nullptr, "Accept: application/json");

  api->easy_setopt(curl, CURLOPT_URL, url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  api->easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  api->easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  api->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  const std::string no_proxy = no_proxy_list();
  api->easy_setopt(curl, CURLOPT_NOPROXY, no_proxy.c_str());
  api->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  api->easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  api->easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  api->easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  api->easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  api->easy_setopt(curl, CURLOPT_USERAGENT, "VORNA");
  api->easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(params.timeout_ms));
  api->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(params.timeout_ms));
  api->easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(params.max_body));
  api->easy_setopt(curl, CURLOPT_WRITEFUNCTION, take_body);
  api->easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  api->easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, params.verify ? 1L : 0L);
  api->easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, params.verify ? 2L : 0L);
  if (!params.ca_file.empty()) {
    // The file alone is trusted, not the system's directory of roots as well.
    api->easy_setopt(curl, CURLOPT_CAINFO, params.ca_file.c_str());
    api->easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }

  CURLcode code = api->easy_perform(curl);
  if (code == CURLE_OK) {
    long status = 0;
    api->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response.status = HttpStatus::kOk;
    response.http_status = status;
  } else {
    response.status = status_of(code, sink);
    response.body.clear();
    char line[CURL_ERROR_SIZE + 64];
    std::snprintf(line, sizeof line, "curl error %d: %s", static_cast<int>(code),
                  error_text[0] != '\0' ? error_text : api->easy_strerror(code));
    response.detail = line;
  }
  api->slist_free_all(headers);
  api->easy_cleanup(curl);
  return response;
}

}  // namespace platform
