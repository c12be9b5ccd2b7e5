// Parses bytes into a libxml2 document the way the DOM loads: DTDs refused, nothing fetched,
// depth capped, whitespace-only text dropped, the XML declaration kept as a node.
#pragma once

#include "windows.h"

#include <libxml/tree.h>

#include <string>
#include <string_view>

namespace platform::msxml {

inline constexpr unsigned kMaxElementDepth = 256;
// Larger input is refused rather than read into memory.
inline constexpr size_t kMaxDocumentBytes = size_t{64} << 20;

struct ParseFailure {
    std::string reason;
    LONG line = 0;
    LONG column = 0;
};

struct ParseOptions {
    bool textIsUtf8 = false; // UTF-8 whatever the bytes declare (text from loadXML)
    bool preserveWhiteSpace = false;
};

// Whether a libxml2 error leaves the document acceptable.
bool IsTolerated(const xmlError& error);

// The document ParseDocument would make, with the default options, of tree's formatted UTF-8
// text as libxml2 writes it (xmlDocDumpFormatMemoryEnc, "UTF-8", format 1), line numbers
// aside, made by copying the tree. Null when that cannot be told without the text (white
// space that the text would add or lose, a namespace the text would leave undeclared, a node
// the DOM does not load, nesting deeper than the cap): the caller then parses the text. Throws
// std::bad_alloc when memory runs out, having freed what it made.
xmlDocPtr CopyAsParsed(const xmlDoc* tree);

// The document ParseDocument would make, with the default options, of the text a DOM
// document's stream gives for tree (SerializeDocument with a UTF-8 declaration), when tree is
// exactly as ParseDocument made it with those options: a copy, its XML declaration naming
// UTF-8 as the stream's text does. Throws std::bad_alloc, having freed what it made.
xmlDocPtr CopyLoadedTree(const xmlDoc* tree);

// A new document, or null with failure filled in. Throws std::bad_alloc when memory runs
// out, having freed what it made.
xmlDocPtr ParseDocument(std::string_view bytes, const ParseOptions& options, ParseFailure& failure);

} // namespace platform::msxml
