#include "markupreader.h"

#include <libxml/xmlreader.h>

namespace platform::xps {
namespace {

void CollectError(void* context, const char* message, xmlParserSeverities severity,
                  xmlTextReaderLocatorPtr locator) {
    auto* text = static_cast<std::string*>(context);
    if (severity == XML_PARSER_SEVERITY_ERROR || severity == XML_PARSER_SEVERITY_VALIDITY_ERROR ||
        text->empty()) {
        std::string line = message ? message : "";
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
            line.pop_back();
        }
        *text = "line " + std::to_string(xmlTextReaderLocatorLineNumber(locator)) + ": " + line;
    }
}

std::string Owned(xmlChar* text) {
    std::string result = text ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return result;
}

} // namespace

MarkupReader::MarkupReader(std::unique_ptr<ByteSource> source, std::string partName)
    : source_(std::move(source)), partName_(std::move(partName)) {
    reader_ = xmlReaderForIO(&MarkupReader::ReadCallback, nullptr, this, nullptr, nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    if (!reader_) {
        throw std::bad_alloc();
    }
    xmlTextReaderSetErrorHandler(reader_, &CollectError, &parseError_);
}

void MarkupReader::Restart(std::unique_ptr<ByteSource> source, std::string partName) {
    source_ = std::move(source);
    partName_ = std::move(partName);
    sourceError_ = nullptr;
    parseError_.clear();
    if (xmlReaderNewIO(reader_, &MarkupReader::ReadCallback, nullptr, this, nullptr, nullptr,
                       XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR) != 0) {
        throw std::bad_alloc();
    }
}

MarkupReader::~MarkupReader() {
    xmlFreeTextReader(reader_);
}

int MarkupReader::ReadCallback(void* context, char* buffer, int length) {
    auto* self = static_cast<MarkupReader*>(context);
    try {
        return static_cast<int>(self->source_->Read(buffer, static_cast<size_t>(length)));
    } catch (...) {
        self->sourceError_ = std::current_exception();
        return -1;
    }
}

void MarkupReader::Malformed() {
    if (sourceError_) {
        std::rethrow_exception(sourceError_);
    }
    Fail(kBadPackage, partName_ + " is not well-formed XML" +
                          (parseError_.empty() ? std::string() : " (" + parseError_ + ")"));
}

bool MarkupReader::NextElement() {
    while (true) {
        const int status = xmlTextReaderRead(reader_);
        if (status < 0 || sourceError_) {
            Malformed();
        }
        if (status == 0) {
            return false;
        }
        const int type = xmlTextReaderNodeType(reader_);
        if (type == XML_READER_TYPE_ELEMENT) {
            return true;
        }
        if (type == XML_READER_TYPE_DOCUMENT_TYPE) {
            Fail(kBadPackage, partName_ + " has a document type declaration, which XPS forbids");
        }
    }
}

int MarkupReader::Depth() const {
    return xmlTextReaderDepth(reader_);
}

std::string MarkupReader::LocalName() const {
    const xmlChar* name = xmlTextReaderConstLocalName(reader_);
    return name ? reinterpret_cast<const char*>(name) : "";
}

std::string MarkupReader::NamespaceUri() const {
    const xmlChar* uri = xmlTextReaderConstNamespaceUri(reader_);
    return uri ? reinterpret_cast<const char*>(uri) : "";
}

std::optional<std::string> MarkupReader::Attribute(const char* name) const {
    xmlChar* value = xmlTextReaderGetAttribute(reader_, reinterpret_cast<const xmlChar*>(name));
    if (!value) {
        return std::nullopt;
    }
    return Owned(value);
}

std::vector<Relationship> ReadRelationships(MarkupReader& reader) {
    const std::string& relsPartName = reader.PartName();
    if (!reader.NextElement() || reader.LocalName() != "Relationships" ||
        reader.NamespaceUri() != kPackageRelationships) {
        Fail(kBadPackage, relsPartName + " is not a relationships part");
    }
    std::vector<Relationship> relationships;
    while (reader.NextElement()) {
        if (reader.Depth() != 1 || reader.LocalName() != "Relationship" ||
            reader.NamespaceUri() != kPackageRelationships) {
            continue;
        }
        Relationship relationship;
        auto type = reader.Attribute("Type");
        auto target = reader.Attribute("Target");
        if (!type || !target || !reader.Attribute("Id")) {
            Fail(kBadPackage, relsPartName + " has a relationship without Id, Type or Target");
        }
        relationship.type = std::move(*type);
        relationship.target = std::move(*target);
        relationship.external = reader.Attribute("TargetMode").value_or("") == "External";
        relationships.push_back(std::move(relationship));
    }
    return relationships;
}

} // namespace platform::xps
