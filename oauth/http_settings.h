// The HTTPS parameters of every request to an authorization server: the certificate
// settings of the mail connections (SSL_VERIFY, SSL_CA_FILE), one deadline of 60 s and
// a reply of at most 1 MiB.
#pragma once

#include "platform/http.h"

platform::HttpParams oauth_http_params();
