// The XML declaration, which the DOM keeps as a processing instruction named "xml".
#pragma once

#include <string>
#include <string_view>

namespace platform::msxml {

struct XmlDeclaration {
    std::string_view version;
    std::string_view encoding; // empty when absent
    std::string_view standalone;
    size_t encodingOffset = std::string_view::npos; // of the encoding value within the data
};

// Parses declaration data such as version="1.0" encoding='UTF-8' (surrounding whitespace
// allowed): version first, then optionally encoding and standalone, nothing else.
bool ParseXmlDeclaration(std::string_view data, XmlDeclaration& declaration);

// Finds an XML declaration at the start of a document's bytes (after a byte order mark; UTF-8,
// or UTF-16 of either byte order) and gives its data, trimmed.
bool FindXmlDeclaration(std::string_view bytes, std::string& data);

// The data with its encoding given as UTF-8 (unchanged when it names UTF-8 or no encoding).
std::string DeclarationForUtf8(std::string_view data);

} // namespace platform::msxml
