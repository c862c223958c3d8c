// The HTTP client library, opened at run time rather than linked. Most runs (the
// version, the packages directory, a check or a download from a folder) never make a
// request, and loading the client's many dependencies would cost each of them more
// than everything else they do; so the library is opened when the first download agent
// is built, not at start-up, and its functions are called through pointers.
#pragma once

#include <string>

// Calls go through pointers, so setopt must be a plain function rather than the
// checking macro. The options that newer libraries deprecate are the fallbacks for
// older ones (macOS ships the library of its release).
#define CURL_DISABLE_TYPECHECK
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>

#include <norvane/result.h>

namespace norvane {

// The functions of the client library that the download agent calls, all bound except
// url_strerror, which libraries before 7.80 lack (null then).
struct CurlApi {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_version_info) version_info = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_set) url_set = nullptr;
  decltype(&::curl_url_cleanup) url_cleanup = nullptr;
  decltype(&::curl_url_strerror) url_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
  decltype(&::curl_getdate) getdate = nullptr;
};

// Opens the library called `name` (as the dynamic loader looks it up) and binds every
// function of CurlApi. Fails with "cannot load the HTTP client library {name}: {the
// loader's reason}", or with "the HTTP client library lacks {symbol}" for the first
// function it does not export. The library stays open for the rest of the process,
// loaded or not.
Result<CurlApi> load_curl_library(const std::string& name);

// The process's client library, the platform's, loaded on the first call from any
// thread; later calls return the same outcome, a failure included.
const Result<CurlApi>& curl_library();

// The loaded library. Only called once curl_library() has succeeded.
inline const CurlApi& curl_api() { return *curl_library(); }

}  // namespace norvane
