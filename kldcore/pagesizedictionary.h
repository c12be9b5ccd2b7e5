// The driver's page size dictionary: every paper size the driver knows, each with the value id
// of the driver's data model, its Print Schema PageMediaSize option name and its size.
//
// The dictionary holds the Print Schema's fixed-size PageMediaSize keywords (predefined
// option names, written in the Print Schema keywords namespace) and the driver's own sizes
// that have no keyword (written in the driver's private keywords namespace). Several entries
// can share a size (NorthAmericaLetter, NorthAmericaNote and the driver's LetterSmall); the
// value id tells them apart. Roll sizes have a width and no length (height 0).
//
// Who owns what: the dictionary owns its entries; the entry pointers GetPageSizeEntryRefs
// hands out stay valid while the dictionary lives. The string loader is the caller's and is
// used only during construction. Nothing here is shared between dictionaries: each is built
// whole by its constructor, and a built dictionary may be read from several threads.
//
// Callers outside the core library reach the operations marked "imported" through their
// module's delay-load stubs (for FilterUtilities, utilitiesstaticlib/kldcoredelayimports):
// the core library is loaded at the first such call. The other operations are the core
// library's own and need it linked.
#pragma once

#include <kldcore/kldcoreexport.h>
#include <kldcore/valueid.h>

#include <kldutil/cxstring.h>
#include <kldutil/dimension.h>

#include <vector>

// Gives the entries their display names, in the user's language. Without one (a null
// loader), an entry's display name is its option name.
class PageSizeStringLoader {
public:
    virtual ~PageSizeStringLoader() = default;
    // The display name of the size with that value id; false keeps the option name.
    virtual bool LoadDisplayName(const ValueId& id, CXString* name) const = 0;
};

class KLDCORE_API PageSizeDictionaryEntry {
public:
    PageSizeDictionaryEntry(ValueId id, const CXString& optionName, bool predefined,
                            int widthMicrons, int heightMicrons, const CXString& displayName);

    const ValueId& GetValueId() const;                    // imported
    const CXString& GetMsPageMediaSizeOptionName() const; // imported; without a prefix
    // True for a Print Schema keyword, false for one of the driver's own sizes.
    bool IsPredefinedMsOptionName() const; // imported

    int GetWidthMicrons() const;
    int GetHeightMicrons() const; // 0 for a roll
    const CXString& GetDisplayName() const;

private:
    ValueId m_id;
    CXString m_optionName;
    bool m_predefined;
    int m_width;
    int m_height;
    CXString m_displayName;
};

class KLDCORE_API PageSizeDictionary {
public:
    // Builds the dictionary from the tables compiled into the core library (imported).
    // loader may be null. Only an allocation failure escapes, as std::bad_alloc.
    explicit PageSizeDictionary(const PageSizeStringLoader* loader);
    ~PageSizeDictionary(); // imported
    PageSizeDictionary(const PageSizeDictionary&) = delete;
    PageSizeDictionary& operator=(const PageSizeDictionary&) = delete;

    // The entries of that size, in dictionary order (the Print Schema keywords first, then the
    // driver's own sizes); empty when no size matches (imported). A size matches when width
    // and height each lie within half a unit of the query's own unit of the entry's, so a
    // form given in tenths of a millimetre finds 184150 um at 1841 and at 1842. A roll
    // matches a query of its width and of height 0.
    std::vector<const PageSizeDictionaryEntry*> GetPageSizeEntryRefs(const Dimension& width,
                                                                     const Dimension& height) const;

    // The whole dictionary as text a person can read: a heading, then one line per entry
    // with the value id, the option name and its namespace, the size in micrometres and in
    // inches, and the display name when it differs from the option name (imported).
    CXString Dump() const;

    // Every entry, in dictionary order.
    const std::vector<PageSizeDictionaryEntry>& GetEntries() const;
    // The entry of that option name (exact comparison), or null.
    const PageSizeDictionaryEntry* FindByOptionName(const CXString& optionName) const;

private:
    // Built and freed by the core library's constructor and destructor. A plain pointer: the
    // object's own members are built and destroyed in the core library alone, whichever module
    // holds the object.
    struct Table;
    Table* m_table;
};
