// The driver's persisted settings: the attribute lists of all namespaces as one versioned
// binary state, the form in which a devmode carries them (record 1 of the private block,
// see kdevmode.h). The state format is described in persistentattributes.md.
//
// Decoding is bounds-checked throughout: a state that is truncated, has lengths that run
// past their bounds, a wrong magic or an unknown version is refused whole, never read past
// its end. Encoding writes the canonical form (namespaces and features in ascending id
// order), so decoding a canonical state and encoding it again gives the same bytes.
#pragma once

#include <kldutil/attributebytesids.h>
#include <kldutil/attributebytesnamespaces.h>
#include <kldutil/attributebytesrawlist.h>
#include <kldutil/bytebuffer.h>
#include <kldutil/kldutilexport.h>

#include <windows.h>

class KLDUTIL_API PersistentAttributes {
public:
    // "KPAS", the first four bytes of every state.
    static constexpr BYTE kMagic[4] = {'K', 'P', 'A', 'S'};
    static constexpr WORD kFormatVersion = 1;
    static constexpr DWORD kHeaderSize = 8;

    // The namespace of the settings the driver's user interface makes (document properties).
    static AttributeBytesNameSpacesId GetDataModelDocPropNameSpaceId() {
        return AttributeBytesNameSpacesId(1);
    }
    // The namespace of the device capabilities the driver reports for the settings.
    static AttributeBytesNameSpacesId GetMsDeviceCapabilitiesNameSpaceId() {
        return AttributeBytesNameSpacesId(2);
    }

    // No namespaces.
    PersistentAttributes() = default;
    // Decodes size bytes at state; no bytes at all are the empty state. A state that cannot
    // be decoded raises KeldanComException when throwOnMalformedState is true, with
    // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) for an unknown format version and
    // HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for anything else; when it is false the object
    // is left without namespaces and GetDecodeResult tells why.
    PersistentAttributes(const BYTE* state, DWORD size, bool throwOnMalformedState);
    PersistentAttributes(const ByteBuffer& state, bool throwOnMalformedState);

    // S_OK, or the error of a state that could not be decoded.
    HRESULT GetDecodeResult() const { return m_decodeResult; }

    // The list of a namespace; the empty list when the namespace is absent.
    AttributeBytesRawList GetAttributeBytesListForNameSpace(AttributeBytesNameSpacesId id) const;
    const AttributeBytesNameSpaces& GetAttributeBytesNameSpaces() const { return m_nameSpaces; }
    // Each namespace given replaces the list held for it; namespaces not given are kept, so
    // a writer that knows only some namespaces loses none of the others.
    void SetAttributeBytesNameSpaces(const AttributeBytesNameSpaces& nameSpaces);

    // The encoded state.
    ByteBuffer GetPersistentAttributesState() const;

private:
    AttributeBytesNameSpaces m_nameSpaces;
    HRESULT m_decodeResult = S_OK;
};
