// Reading XML files into MSXML DOM documents and writing them back.
#pragma once

#include <atlbase.h>
#include <msxml6.h>

#include <string>

namespace filterutil {

// A DOM document parsed from the file. Throws ToolError when the file cannot be read or is
// not well-formed XML.
CComPtr<IXMLDOMDocument2> LoadXmlFile(const std::string& path);

// Writes the document as UTF-8 with an XML declaration. The file is written under a temporary
// name beside the target and renamed over it at the end, so a failure never leaves a partial
// file and the target is untouched until the new content is complete.
void SaveXmlFile(IXMLDOMDocument2* document, const std::string& path);

// The serialised document (UTF-8) as the DOM's stream gives it, with an XML declaration put
// in front when the document has none.
std::string SerialiseDocument(IXMLDOMDocument2* document);

} // namespace filterutil
