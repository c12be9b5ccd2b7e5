// XPS packages read and written part by part: the platform's IXpsDocumentProvider and
// IXpsDocumentConsumer over real OPC ZIP files.
//
// Who owns what:
// - A PackageReader owns its Package (the open ZIP file and the index of its parts) through a
//   shared pointer; every part object it hands out holds the same pointer, so parts outlive
//   the reader and read their bytes from the package only when their stream is read.
// - A part's content is a PartContent: entries of the package (a part may be stored as
//   pieces) or bytes in memory written through a write stream. Contents are immutable once
//   shared; replacing a page's markup gives the page a new content.
// - A PackageWriter owns its ZipWriter (the temporary output file) and the little it must
//   remember to write the markup and relationships of documents and the content types; page
//   content is written as each page is sent and never kept.
// Errors inside this folder are PackageError exceptions; each COM method catches them once and
// answers their HRESULT, keeping the message for IXpsPackageStatus.
#pragma once

#include "platformexport.h"
#include "xpspackage.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::xps {

// An error of this folder: an HRESULT and one line for a person.
class PLATFORM_EXPORT PackageError : public std::runtime_error {
public:
    PackageError(HRESULT hr, const std::string& message) : std::runtime_error(message), hr_(hr) {}
    HRESULT Result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

// The HRESULTs this folder answers.
inline constexpr HRESULT kBadPackage = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
inline constexpr HRESULT kMissingPart = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
inline constexpr HRESULT kTooLarge = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
inline constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
// A writer was sent a part under a name it has already written with other content.
inline constexpr HRESULT kNameTaken = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);

[[noreturn]] inline void Fail(HRESULT hr, const std::string& message) {
    throw PackageError(hr, message);
}

// Relationship types and namespaces of the two flavours.
struct FlavourNames {
    std::string_view markup;           // namespace of FixedDocumentSequence and friends
    std::string_view relationshipBase; // followed by the type's last segment
};
const FlavourNames& NamesOf(XpsFlavour flavour);

inline constexpr std::string_view kPackageRelationships =
    "http://schemas.openxmlformats.org/package/2006/relationships";
inline constexpr std::string_view kContentTypesNamespace =
    "http://schemas.openxmlformats.org/package/2006/content-types";
inline constexpr std::string_view kThumbnailRelationship =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail";
inline constexpr std::string_view kRelationshipsContentType =
    "application/vnd.openxmlformats-package.relationships+xml";
inline constexpr std::string_view kSequenceContentType =
    "application/vnd.ms-package.xps-fixeddocumentsequence+xml";
inline constexpr std::string_view kDocumentContentType =
    "application/vnd.ms-package.xps-fixeddocument+xml";
inline constexpr std::string_view kPageContentType = "application/vnd.ms-package.xps-fixedpage+xml";
inline constexpr std::string_view kTicketContentType =
    "application/vnd.ms-printing.printticket+xml";
inline constexpr std::string_view kObfuscatedFontContentType =
    "application/vnd.ms-package.obfuscated-opentype";

} // namespace platform::xps
