// Test support for the driver's devmodes inside print tickets: devmodes made as the driver's
// user interface makes them, small tickets written as text, and an independent reading of the
// saved XML with libxml2 (the library never sees libxml2).
#pragma once

#include "printschematestsupport.h"

#include <filterutilities/printschemaxmldocument.h>

#include <kldutil/attributebytesindexedlist.h>
#include <kldutil/bytebuffer.h>
#include <kldutil/kdevmode.h>

#include <windows.h>

#include <libxml/tree.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace devmodetest {

inline std::string PrivateKeywordsUri() {
    return printschematest::Utf8(PrintSchema::UserKeywordsNamespaceUri);
}

// The driver's devmode with the given data-model options (feature id, value id).
inline ByteBuffer DriverDevmode(std::initializer_list<std::pair<int, int>> options) {
    AttributeBytesIndexedList dataModel;
    for (const auto& [feature, value] : options) {
        dataModel.SetOptionValue(AttributeBytesFeatureId(feature), value);
    }
    return KDevmode::Build(dataModel);
}

inline DEVMODEW* AsDevmode(ByteBuffer& devmode) {
    return reinterpret_cast<DEVMODEW*>(devmode.getLpbyte());
}
inline const DEVMODEW* AsDevmode(const ByteBuffer& devmode) {
    return reinterpret_cast<const DEVMODEW*>(devmode.getLpbyte());
}

// The private block of a devmode made by DriverDevmode.
inline BYTE* BlockOf(ByteBuffer& devmode) {
    return devmode.getLpbyte() + sizeof(DEVMODEW) + KDevmodeSettings{}.blockOffset;
}

// RFC 4648 Base64 with padding, written here independently of the library's encoder.
inline std::string Base64(const BYTE* bytes, size_t count) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < count; i += 3) {
        const size_t left = count - i;
        const unsigned group =
            (bytes[i] << 16) | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += left > 1 ? alphabet[(group >> 6) & 63] : '=';
        text += left > 2 ? alphabet[group & 63] : '=';
    }
    return text;
}
inline std::string Base64(const ByteBuffer& bytes) {
    return Base64(bytes.getLpbyte(), bytes.getDword());
}

// The text broken into indented lines of width characters, as a pretty-printer writes it.
inline std::string Wrapped(const std::string& text, size_t width) {
    std::string wrapped = "\n        ";
    for (size_t i = 0; i < text.size(); i += width) {
        wrapped += text.substr(i, width) + "\n        ";
    }
    return wrapped;
}

// A print ticket around body, declaring the Print Schema namespaces and binding ns0000 to
// privateUri, the driver's unless another is given.
inline std::string TicketXml(const std::string& body,
                             const std::string& privateUri = PrivateKeywordsUri()) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<psf:PrintTicket "
           "xmlns:psf=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemaframework\" "
           "xmlns:psk=\"http://schemas.microsoft.com/windows/2003/08/printing/"
           "printschemakeywords\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:ns0000=\"" +
           privateUri + "\" version=\"1\">\n" + body + "</psf:PrintTicket>\n";
}

inline std::string FeatureXml(const std::string& feature, const std::string& option) {
    return "  <psf:Feature name=\"psk:" + feature + "\"><psf:Option name=\"psk:" + option +
           "\"/></psf:Feature>\n";
}

inline std::string SnapshotXml(const std::string& value) {
    return "  <psf:ParameterInit name=\"ns0000:PageDevmodeSnapshot\"><psf:Value "
           "xsi:type=\"xsd:string\">" +
           value + "</psf:Value></psf:ParameterInit>\n";
}

// A ticket with one feature and a snapshot ParameterInit per value, in order, named with the
// prefix ns0000 bound to privateUri.
inline std::string TicketWithSnapshots(const std::vector<std::string>& values,
                                       const std::string& privateUri = PrivateKeywordsUri()) {
    std::string body = FeatureXml("PageOrientation", "Portrait");
    for (const std::string& value : values) {
        body += SnapshotXml(value);
    }
    return TicketXml(body, privateUri);
}

// --- Reading saved tickets with libxml2 ---

inline std::string Attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

// The namespace URI that the prefix of a QName in a value resolves to at node.
inline std::string QNameNamespace(const xmlNode* node, const std::string& qname) {
    const size_t colon = qname.find(':');
    const std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
    const xmlNs* ns =
        xmlSearchNs(node->doc, const_cast<xmlNode*>(node),
                    prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
    return ns && ns->href ? reinterpret_cast<const char*>(ns->href) : "";
}
inline std::string LocalPart(const std::string& qname) {
    const size_t colon = qname.find(':');
    return colon == std::string::npos ? qname : qname.substr(colon + 1);
}

inline std::string NameNamespace(const xmlNode* node) {
    return QNameNamespace(node, Attribute(node, "name"));
}
inline std::string NameLocalPart(const xmlNode* node) {
    return LocalPart(Attribute(node, "name"));
}

inline const xmlNode* ValueChild(const xmlNode* node) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE &&
            std::string(reinterpret_cast<const char*>(child->name)) == "Value") {
            return child;
        }
    }
    return nullptr;
}

// The XML Schema type of the node's Value ("string" for xsd:string whatever the prefix), or
// "?" followed by the attribute when it names no XML Schema type.
inline std::string ValueType(const xmlNode* node) {
    const xmlNode* value = ValueChild(node);
    if (!value) {
        return "<no value>";
    }
    xmlChar* type =
        xmlGetNsProp(value, reinterpret_cast<const xmlChar*>("type"),
                     reinterpret_cast<const xmlChar*>("http://www.w3.org/2001/XMLSchema-instance"));
    const std::string qname = type ? reinterpret_cast<const char*>(type) : "";
    xmlFree(type);
    return QNameNamespace(value, qname) == "http://www.w3.org/2001/XMLSchema" ? LocalPart(qname)
                                                                              : "?" + qname;
}

inline void CollectParameterInits(const xmlNode* node, const std::string& localName,
                                  std::vector<std::string>& values) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (std::string(reinterpret_cast<const char*>(child->name)) == "ParameterInit" &&
            NameNamespace(child) == PrivateKeywordsUri() && NameLocalPart(child) == localName) {
            const xmlNode* value = ValueChild(child);
            xmlChar* text = value ? xmlNodeGetContent(value) : nullptr;
            values.push_back(text ? reinterpret_cast<const char*>(text) : "");
            xmlFree(text);
        }
        CollectParameterInits(child, localName, values);
    }
}

// The Value texts of the driver's ParameterInits of that local name, in document order.
inline std::vector<std::string> ParameterInitValues(const std::string& xml,
                                                    const std::string& localName) {
    const printschematest::XmlDoc doc = printschematest::ParseWithLibxml2(xml);
    if (!doc) {
        throw std::runtime_error("not well-formed: " + xml);
    }
    std::vector<std::string> values;
    CollectParameterInits(reinterpret_cast<const xmlNode*>(doc.get()), localName, values);
    return values;
}

// The devmode snapshot default of a real Windows printer ("Generic / Text Only"): Base64
// with a line break and indentation, as Windows wrote it into its capabilities document.
inline std::string GenericTextOnlyDevmodeText() {
    const std::string source =
        printschematest::ReadTestFile("printschema/capabilities-generic-text-only.xml");
    const size_t definition = source.find("PageDevmodeSnapshot");
    const std::string open = "<psf:Value xsi:type=\"xsd:string\">";
    const size_t start = source.find(open, source.find("psf:DefaultValue", definition));
    const size_t end = source.find("</psf:Value>", start);
    if (definition == std::string::npos || start == std::string::npos || end == std::string::npos) {
        throw std::runtime_error("no devmode in the capabilities document");
    }
    return source.substr(start + open.size(), end - start - open.size());
}

} // namespace devmodetest
