// Reading XML files into MSXML DOM documents and serialising them back.
#pragma once

#include <atlbase.h>
#include <msxml6.h>

#include <string>

namespace filterutil {

// A DOM document parsed from the file, or from standard input when path is "-". The bytes are
// streamed into the DOM, which stops reading at its document size cap. Throws ToolError when
// the file cannot be opened or read, is a directory, is too large, or is not well-formed XML.
CComPtr<IXMLDOMDocument2> LoadXmlFile(const std::string& path);

// What a message calls the input: the path, or "standard input" for "-".
std::string InputName(const std::string& path);

// The serialised document (UTF-8) as the DOM's stream gives it, with an XML declaration put
// in front when the document has none.
std::string SerialiseDocument(IXMLDOMDocument2* document);

} // namespace filterutil
