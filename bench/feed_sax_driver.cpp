// The floor under `check` on a large feed: the file read whole and one RapidJSON SAX
// pass over it with a handler that does nothing, with the reader flags the feed reader
// uses (iterative, numbers as text, UTF-8 checked). Prints the number of events, so
// that the pass cannot be left out.
//
//   feed_sax_driver <feed.json>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <rapidjson/reader.h>

namespace {

struct NothingHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, NothingHandler> {
  unsigned long events = 0;
  bool Default() {
    ++events;
    return true;
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return Default(); }
  bool String(const char*, rapidjson::SizeType, bool) { return Default(); }
  bool Key(const char*, rapidjson::SizeType, bool) { return Default(); }
  bool StartObject() { return Default(); }
  bool EndObject(rapidjson::SizeType) { return Default(); }
  bool StartArray() { return Default(); }
  bool EndArray(rapidjson::SizeType) { return Default(); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: feed_sax_driver <feed.json>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && in.fail()) return 1;
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                              rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseValidateEncodingFlag;
  rapidjson::StringStream stream(text.c_str());
  rapidjson::Reader reader;
  NothingHandler handler;
  if (reader.Parse<kFlags>(stream, handler).IsError()) return 1;
  std::printf("%lu\n", handler.events);
  return 0;
}
