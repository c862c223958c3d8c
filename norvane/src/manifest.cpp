#include <norvane/manifest.h>

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <norvane/log.h>

namespace norvane {

namespace {

constexpr const char* kTarget = "norvane::manifest";

struct ReaderDeleter {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using ReaderPtr = std::unique_ptr<xmlTextReader, ReaderDeleter>;

// The first error the parser reports; reading stops when there is one.
struct ErrorState {
  std::string message;
  bool failed = false;
  int code = 0;
  size_t offset = 0;  // bytes handed to the parser when it reported the error
};

// Hands the text to the parser a byte at a time.
struct ChunkFeed {
  std::string_view text;
  size_t pos = 0;
};

struct ReadContext {
  ChunkFeed feed;
  ErrorState errors;
};

void on_error(void* arg, xmlErrorPtr error) {
  auto* context = static_cast<ReadContext*>(arg);
  ErrorState* state = &context->errors;
  if (state->failed || error == nullptr || error->level < XML_ERR_ERROR) return;
  state->failed = true;
  state->code = error->code;
  state->offset = context->feed.pos;
  std::string text = error->message ? error->message : "unknown XML error";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  // One line: the parser's description, and where it was found.
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  if (error->line > 0) {
    text += " at line " + std::to_string(error->line);
    if (error->int2 > 0) text += " column " + std::to_string(error->int2);
  }
  state->message = std::move(text);
}

// The manifest lives in the bundle, but it is still input: it may declare internal
// entities, never pull in files or URLs through external ones.
xmlParserInputPtr refuse_external_entity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

void ignore_generic_error(void*, const char*, ...) {}

int read_chunk(void* context, char* buffer, int len) {
  auto* feed = static_cast<ChunkFeed*>(context);
  const size_t n = std::min({feed->text.size() - feed->pos, static_cast<size_t>(len), size_t{1}});
  std::memcpy(buffer, feed->text.data() + feed->pos, n);
  feed->pos += n;
  return static_cast<int>(n);
}

std::string* field_for(Manifest& m, std::string_view name) {
  if (name == "id") return &m.id;
  if (name == "title") return &m.title;
  if (name == "authors") return &m.authors;
  if (name == "description") return &m.description;
  if (name == "machineArchitecture") return &m.machine_architecture;
  if (name == "runtimeDependencies") return &m.runtime_dependencies;
  if (name == "mainExe") return &m.main_exe;
  if (name == "os") return &m.os;
  if (name == "osMinVersion") return &m.os_min_version;
  if (name == "channel") return &m.channel;
  return nullptr;
}

std::string_view as_view(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Reads one document into `m`. Fails only for an invalid version; parser errors are
// left in the context.
Result<void> read_document(ReadContext& context, Manifest& m) {
  ErrorState& errors = context.errors;
  std::vector<std::string> open;  // names of the open elements, innermost last
  // Entities resolved, no network, whitespace and CDATA kept as their own nodes.
  const int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOWARNING;
  // Fed a byte at a time, the parser reports an error only after it has delivered
  // the nodes before it, so the fields read before the error count. Handed larger
  // pieces, it also lets some errors through (text between a doctype and its root, for
  // one). This feeding is most of what reading a manifest costs, and it stays.
  ReaderPtr reader(xmlReaderForIO(read_chunk, nullptr, &context.feed, nullptr, nullptr, options));
  if (!reader) {
    errors.failed = true;
    errors.message = "Cannot create the XML parser";
    return {};
  }
  xmlTextReaderSetStructuredErrorHandler(reader.get(), on_error, &context);
  for (;;) {
    const int rc = xmlTextReaderRead(reader.get());
    if (rc != 1) {
      if (rc < 0 && !errors.failed) {
        errors.failed = true;
        errors.message = "XML parser error";
      }
      return {};
    }
    // Most parser errors end the reader by themselves; a namespace error does not, but
    // reading stops there all the same.
    if (errors.failed) return {};
    const int type = xmlTextReaderNodeType(reader.get());
    if (type == XML_READER_TYPE_ELEMENT && xmlTextReaderConstPrefix(reader.get()) != nullptr &&
        xmlTextReaderConstNamespaceUri(reader.get()) == nullptr) {
      // An undeclared prefix is an error, and reading stops at that element.
      if (!errors.failed) {
        errors.failed = true;
        errors.message = "Namespace prefix " +
                         std::string(as_view(xmlTextReaderConstPrefix(reader.get()))) +
                         " is not defined";
      }
      return {};
    }
    if (type == XML_READER_TYPE_ELEMENT) {
      // An empty element (<a/>) has no end event; it never holds text.
      if (xmlTextReaderIsEmptyElement(reader.get()) != 1)
        open.emplace_back(as_view(xmlTextReaderConstLocalName(reader.get())));
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (!open.empty()) open.pop_back();
    } else if (type == XML_READER_TYPE_TEXT && !open.empty()) {
      const std::string_view value = as_view(xmlTextReaderConstValue(reader.get()));
      const std::string& name = open.back();
      if (name == "version") {
        NV_TRY_ASSIGN(m.version, parse_semver(value));
      } else if (std::string* field = field_for(m, name)) {
        *field = std::string(value);
      }
    }
  }
  return {};
}

}  // namespace

Result<Manifest> parse_manifest(std::string_view text) {
  Manifest m;
  ErrorState errors;

  static const bool configured = [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(refuse_external_entity);
    return true;
  }();
  (void)configured;
  // Nothing of the parser may reach the console.
  xmlSetGenericErrorFunc(nullptr, ignore_generic_error);
  xmlSetStructuredErrorFunc(nullptr, nullptr);

  if (text.empty()) {
    errors.failed = true;
    errors.message = "Document is empty: no root element found";
  }
  // More than one root element is accepted: when the parser stops at content after
  // the first root, reading goes on with a fresh parser from that element.
  for (size_t start = 0; !errors.failed && start < text.size();) {
    ReadContext context{ChunkFeed{text.substr(start)}, {}};
    NV_TRY(read_document(context, m));
    errors = context.errors;
    if (!errors.failed || errors.code != XML_ERR_DOCUMENT_END) break;
    const size_t next = context.feed.text.rfind('<', errors.offset);
    if (next == std::string_view::npos || next == 0) break;
    errors = {};
    start += next;
  }
  if (errors.failed) NV_ERROR(kTarget, "Error: " + errors.message);

  if (m.id.empty())
    return fail("Missing 'id' in package manifest. Please contact the application author.");
  if (m.version == Version{})
    return fail("Missing 'version' in package manifest. Please contact the application author.");
  if (m.title.empty()) m.title = m.id;
  return m;
}

}  // namespace norvane
