// The HTTPS parameters of the requests to an authorization server.
#include "oauth/http_settings.h"

#include "config/settings.h"

platform::HttpParams oauth_http_params() {
  platform::HttpParams params;
  params.verify = g_settings.ssl_verify != 0;
  params.ca_file = g_settings.ssl_ca_file;
  params.timeout_ms = 60 * 1000;
  params.max_body = 1024 * 1024;
  return params;
}
