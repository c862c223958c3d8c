#include "curl_library.h"

#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

namespace norvane {
namespace {

TEST(CurlLibraryTest, LoadsThePlatformsLibrary) {
  const Result<CurlApi>& library = curl_library();
  ASSERT_TRUE(library) << library.error().message;
  EXPECT_EQ(&curl_library(), &library);  // loaded once
  const curl_version_info_data* info = library->version_info(CURLVERSION_NOW);
  ASSERT_NE(info, nullptr);
  EXPECT_NE(info->version, nullptr);
}

TEST(CurlLibraryTest, NamesALibraryThatCannotBeLoaded) {
  const std::string name = "libnorvane-no-such-client.so.0";
  const Result<CurlApi> library = load_curl_library(name);
  ASSERT_FALSE(library);
  const std::string prefix = "cannot load the HTTP client library " + name + ": ";
  const std::string& message = library.error().message;
  ASSERT_TRUE(message.starts_with(prefix)) << message;
  EXPECT_GT(message.size(), prefix.size()) << "the loader's reason is missing";
}

TEST(CurlLibraryTest, NamesTheFirstFunctionALibraryLacks) {
  // A library that loads but is not the client: the compression library, found by the
  // path it was loaded from in this process.
  void* symbol = ::dlsym(RTLD_DEFAULT, "zlibVersion");
  ASSERT_NE(symbol, nullptr);
  Dl_info info{};
  ASSERT_NE(::dladdr(symbol, &info), 0);
  ASSERT_NE(info.dli_fname, nullptr);
  const Result<CurlApi> library = load_curl_library(info.dli_fname);
  ASSERT_FALSE(library);
  EXPECT_EQ(library.error().message, "the HTTP client library lacks curl_global_init");
}

}  // namespace
}  // namespace norvane
