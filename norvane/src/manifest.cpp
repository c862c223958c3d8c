#include <norvane/manifest.h>

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <cstdint>
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
};

void on_error(void* arg, xmlErrorPtr error) {
  auto* state = static_cast<ErrorState*>(arg);
  if (state->failed || error == nullptr || error->level < XML_ERR_ERROR) return;
  state->failed = true;
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

}  // namespace

Result<Manifest> parse_manifest(std::string_view text) {
  Manifest m;
  std::vector<std::string> open;  // names of the open elements, innermost last
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

  // Entities resolved, no network, whitespace and CDATA kept as their own nodes.
  const int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOWARNING;
  ReaderPtr reader;
  if (!text.empty() && text.size() <= static_cast<size_t>(INT32_MAX)) {
    reader.reset(xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr,
                                    nullptr, options));
  }
  if (!reader) {
    errors.failed = true;
    errors.message = text.empty() ? "Document is empty: no root element found"
                                  : "Document is too large";
  } else {
    xmlTextReaderSetStructuredErrorHandler(reader.get(), on_error, &errors);
    for (;;) {
      const int rc = xmlTextReaderRead(reader.get());
      if (errors.failed) break;
      if (rc != 1) {
        if (rc < 0) {
          errors.failed = true;
          errors.message = "XML parser error";
        }
        break;
      }
      const int type = xmlTextReaderNodeType(reader.get());
      if (type == XML_READER_TYPE_ELEMENT) {
        const bool empty = xmlTextReaderIsEmptyElement(reader.get()) == 1;
        // An empty element (<a/>) has no end event; it never holds text.
        if (!empty) open.emplace_back(as_view(xmlTextReaderConstLocalName(reader.get())));
      } else if (type == XML_READER_TYPE_END_ELEMENT) {
        if (!open.empty()) open.pop_back();
      } else if (type == XML_READER_TYPE_TEXT) {
        if (open.empty()) continue;
        const std::string_view value = as_view(xmlTextReaderConstValue(reader.get()));
        const std::string& name = open.back();
        if (name == "version") {
          auto version = parse_semver(value);
          if (!version) return unexpected(std::move(version).error());
          m.version = std::move(*version);
        } else if (std::string* field = field_for(m, name)) {
          *field = std::string(value);
        }
      }
    }
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
