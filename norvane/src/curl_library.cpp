#include "curl_library.h"

#include <dlfcn.h>

#include <type_traits>

#include "platform.h"

namespace norvane {

Result<CurlApi> load_curl_library(const std::string& name) {
  // Never closed: the process ends with the library in use.
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    return fail("cannot load the HTTP client library " + name + ": " +
                (why ? why : "unknown error"));
  }
  CurlApi api;
  const char* missing = nullptr;
  const auto bind = [&](auto& pointer, const char* symbol) {
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(::dlsym(handle, symbol));
    if (pointer == nullptr && missing == nullptr) missing = symbol;
  };
  bind(api.global_init, "curl_global_init");
  bind(api.version_info, "curl_version_info");
  bind(api.easy_init, "curl_easy_init");
  bind(api.easy_cleanup, "curl_easy_cleanup");
  bind(api.easy_setopt, "curl_easy_setopt");
  bind(api.easy_getinfo, "curl_easy_getinfo");
  bind(api.easy_perform, "curl_easy_perform");
  bind(api.easy_strerror, "curl_easy_strerror");
  bind(api.url, "curl_url");
  bind(api.url_set, "curl_url_set");
  bind(api.url_cleanup, "curl_url_cleanup");
  bind(api.slist_append, "curl_slist_append");
  bind(api.slist_free_all, "curl_slist_free_all");
  bind(api.getdate, "curl_getdate");
  if (missing != nullptr) return fail(std::string("the HTTP client library lacks ") + missing);
  // Newer than the oldest library the program runs with (7.80): looked up, not required.
  api.url_strerror =
      reinterpret_cast<decltype(api.url_strerror)>(::dlsym(handle, "curl_url_strerror"));
  return api;
}

const Result<CurlApi>& curl_library() {
  static const Result<CurlApi> library = load_curl_library(platform::http_client_library_name());
  return library;
}

}  // namespace norvane
