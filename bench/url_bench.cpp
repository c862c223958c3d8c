// The URL parser on what the updater does with URLs: parse a feed base URL, resolve
// a feed file name against it, set the query, and read href.
#include <norvane/url.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

using norvane::Url;

void BM_ParseUpdateUrl(benchmark::State& state) {
  for (auto _ : state) {
    auto url = Url::parse("https://updates.example.com/releases/osx/");
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_ParseUpdateUrl);

void BM_ParseUpdateUrlWithPortAndQuery(benchmark::State& state) {
  for (auto _ : state) {
    auto url = Url::parse(
        "http://127.0.0.1:8080/feeds/stable/releases.win.json?localVersion=1.2.3&id=App");
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_ParseUpdateUrlWithPortAndQuery);

void BM_ParseMessyUrl(benchmark::State& state) {
  // Upper case, backslashes, dot segments, a tab, an IPv4 number in hex.
  for (auto _ : state) {
    auto url = Url::parse("  HTTPS://0x7F.1\\a\\.\\b\\..\\c/%2e%2E/d\t/e?q=1 2#f g  ");
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_ParseMessyUrl);

void BM_ParseIdn(benchmark::State& state) {
  for (auto _ : state) {
    auto url = Url::parse(
        "https://b\xc3\xbc"
        "cher.example/releases/");
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_ParseIdn);

void BM_ResolveFeedName(benchmark::State& state) {
  const Url base = *Url::parse("https://updates.example.com/releases/osx/");
  for (auto _ : state) {
    auto url = Url::parse("releases.osx.json", &base);
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_ResolveFeedName);

void BM_SetSearch(benchmark::State& state) {
  const Url feed = *Url::parse("https://updates.example.com/releases/osx/releases.osx.json");
  for (auto _ : state) {
    Url url = feed;
    url.set_search("localVersion=1.2.3&id=My App");
    benchmark::DoNotOptimize(url);
  }
}
BENCHMARK(BM_SetSearch);

// The whole request URL as the HTTP source builds it.
void BM_FeedRequestUrl(benchmark::State& state) {
  for (auto _ : state) {
    auto base = Url::parse("https://updates.example.com/releases/osx/");
    auto url = Url::parse("releases.osx.json", &*base);
    url->set_search("localVersion=1.2.3&id=My App");
    std::string href = url->href();
    benchmark::DoNotOptimize(href);
  }
}
BENCHMARK(BM_FeedRequestUrl);

void BM_IsHttpUrl(benchmark::State& state) {
  for (auto _ : state) {
    bool a = norvane::is_http_url("https://updates.example.com/releases/osx/");
    bool b = norvane::is_http_url("/tmp/releases");
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_IsHttpUrl);

}  // namespace
